// The wide-text conversions on arbitrary bytes: the adapter's diagnostic texts come from
// the driver and reach the log file through ToUtf8, so no input may read or write outside
// its buffers, and well-formed text must survive the round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/wtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // UTF-8 in: whatever came out must convert back to the same UTF-16.
    const kdx::WText wide = kdx::FromUtf8(bytes);
    if (kdx::FromUtf8(kdx::ToUtf8(wide)) != wide) std::abort();

    // The same bytes as UTF-16 units, unpaired surrogates included.
    kdx::WText units;
    for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    const std::string utf8 = kdx::ToUtf8(units);
    if (kdx::ToUtf8(kdx::FromUtf8(utf8)) != utf8) std::abort();

    // The input as a format of its own, with an integer and a text for its conversions.
    (void)kdx::FormatW(units, {static_cast<int>(size), wide, -1, units});
    (void)kdx::TrimW(units);
    (void)kdx::ParseLeadingDouble(units);
    return 0;
}
