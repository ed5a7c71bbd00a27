// libFuzzer target: the sample-file reader against extraction (extraction.h)
// over whole texts of many values, status and bits for every value up to and
// including the first that is not one. The input's first byte sets where the
// text starts relative to the reader's chunks, so that values straddle their
// boundaries; byte 0x01 followed by n and c stands for a run of about
// max_value_length copies of c, so that tokens reach the length limit.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "extraction.h"
#include "value_reader.h"

namespace {

std::string text_of(const std::uint8_t* data, std::size_t size)
{
    const int starts[] = {0, ValueReader::chunk_size - max_value_length, ValueReader::chunk_size,
                          2 * ValueReader::chunk_size - max_value_length};
    const int start = starts[data[0] % 4] + data[0] / 4 - 32;
    std::string text(start > 0 ? start : 0, ' ');
    for (std::size_t i = 1; i < size; i++) {
        if (data[i] == 0x01 && i + 2 < size) {
            text.append(max_value_length - 32 + data[i + 1] % 64, static_cast<char>(data[i + 2]));
            i += 2;
        } else {
            text += static_cast<char>(data[i]);
        }
    }
    return text;
}

// The text in printable ASCII, with each run of eight or more of one
// character as that character and its count: "\x20{1016}".
std::string shown(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t run = 1;
        while (i + run < text.size() && text[i + run] == text[i])
            run++;
        const char c = text[i];
        char piece[32];
        if (c > 0x20 && c < 0x7f && c != '\\')
            std::snprintf(piece, sizeof piece, "%c", c);
        else
            std::snprintf(piece, sizeof piece, "\\x%02x", static_cast<unsigned char>(c));
        if (run >= 8) {
            out += piece + ("{" + std::to_string(run) + "}");
            i += run;
        } else {
            out += piece;
            i++;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text = text_of(data, size);
    std::istringstream stream(text);
    ValueReader reader(stream);
    int position = 0;
    for (const Extracted& want : extract_all(text)) {
        position++;
        float got = 0.0f;
        const ValueStatus status = reader.next(got);
        if (status != want.status || (status == ValueStatus::ok && bits(got) != bits(want.value))) {
            std::fprintf(stderr, "value %d of the text \"%s\":\n  reader:     %s %.9g\n  extraction: %s %.9g\n", position,
                         shown(text).c_str(), status_name(status), static_cast<double>(got),
                         status_name(want.status), static_cast<double>(want.value));
            std::abort();
        }
    }
    return 0;
}
