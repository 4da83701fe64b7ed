#pragma once
#  include <pthread.h>
