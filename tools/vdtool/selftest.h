#pragma once

namespace vdtool {

// Known-answer tests of the format, built in; returns an exit code.
int RunSelfTest();

}  // namespace vdtool
