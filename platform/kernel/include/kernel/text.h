// Text conversions at the kernel's boundaries: those of the platform's text library.
#pragma once

#include "text/text.h"

namespace hl::kernel {

using hl::text::AnsiToUnicode;
using hl::text::EqualsNoCase;
using hl::text::UnicodeToAnsi;
using hl::text::Upcase;
using hl::text::Utf16ToUtf8;
using hl::text::Utf8ToUtf16;

}  // namespace hl::kernel
