// The suite runs once per level: HL_VDFORMAT_IMPL names the level forced before any test starts
// (a level the processor lacks leaves its best in place).
#include <cstdlib>

#include "format/implementation.h"

namespace {

[[maybe_unused]] const bool gForced = [] {
    vdformat::Implementation level;
    const char* name = std::getenv("HL_VDFORMAT_IMPL");
    return name != nullptr && vdformat::ImplementationFromName(name, level) &&
           vdformat::SelectImplementation(level);
}();

}  // namespace
