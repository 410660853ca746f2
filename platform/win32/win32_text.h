// Wide texts of the core handed to the Windows API. The core keeps its texts as UTF-16 in
// char16_t; the API takes wchar_t, which is the same 16-bit unit on Windows. The copy is
// element by element, so no char16_t object is ever read through a wchar_t lvalue.
#pragma once

#include <string>

#include "platform/wtext.h"

namespace kdx::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Windows API's wchar_t is UTF-16");

// A zero-terminated copy for the API calls that take LPCWSTR.
inline std::wstring ToApiText(WTextView text) { return std::wstring(text.begin(), text.end()); }

}  // namespace kdx::platform::win32
