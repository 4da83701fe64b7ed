// What the parts of the component model share.
#pragma once

#include <objbase.h>

namespace hl::com {

enum class Apartment { None, SingleThreaded, MultiThreaded };

// The apartment the calling thread has joined.
Apartment CurrentApartment();

}  // namespace hl::com
