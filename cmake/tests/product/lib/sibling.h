#pragma once
#include <atomic>
