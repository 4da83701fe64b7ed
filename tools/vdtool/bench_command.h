#pragma once

namespace vdtool {

// Times the sector cipher and the password check beside libgcrypt and OpenSSL; returns an exit
// code.
int RunBench();

}  // namespace vdtool
