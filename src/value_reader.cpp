#include "value_reader.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The classic locale's white space, as extraction skips it. Inlined even at
// -O0, and so free of the profiling hook: it runs for every character read.
[[gnu::always_inline]] inline bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_exponent(char c)
{
    return c == 'e' || c == 'E';
}

// Converts the number that [begin, end) starts with, as extraction would, and
// sets `stop` to the first character after the text that from_chars took.
// Whether the value's text ends there is the caller's question.
ValueStatus parse_number(const char* begin, const char* end, float& value, const char*& stop)
{
    std::from_chars_result result = std::from_chars(begin, end, value);
    stop = result.ptr;
    // Nearly every value ends here, before the rare cases below are looked at.
    // Finite: inf and nan fail both comparisons.
    if (result.ec == std::errc() && value >= -FLT_MAX && value <= FLT_MAX)
        return ValueStatus::ok;

    // Where from_chars and extraction part: from_chars takes "inf" and "nan",
    // which extraction refuses, and refuses a leading '+', which extraction
    // takes before a digit or a point.
    const char* number = begin;
    if (result.ec == std::errc::invalid_argument && *begin == '+' && begin + 1 != end &&
        ((begin[1] >= '0' && begin[1] <= '9') || begin[1] == '.')) {
        number = begin + 1;
        result = std::from_chars(number, end, value);
        stop = result.ptr;
    }
    if (result.ec == std::errc())
        return value >= -FLT_MAX && value <= FLT_MAX ? ValueStatus::ok : ValueStatus::not_a_number;
    if (result.ec == std::errc::invalid_argument)
        return ValueStatus::not_a_number;

    // Out of range: from_chars leaves value unset. strtof, which extraction
    // itself calls in the "C" locale that this program never leaves, tells an
    // underflow (read as 0, with its sign) from an overflow.
    char text[max_value_length + 1];
    const auto length = std::min<std::ptrdiff_t>(stop - number, max_value_length);
    std::memcpy(text, number, length);
    text[length] = '\0';
    value = std::strtof(text, nullptr);
    // Extraction also takes an exponent mark with no digits after it ("1e",
    // "1e+"); then strtof stops short of its end and the text is no number.
    const bool dangling_exponent = stop != end && is_exponent(*stop) && std::none_of(number, stop, is_exponent);
    if (std::isinf(value))
        return dangling_exponent ? ValueStatus::not_a_number : ValueStatus::out_of_range;
    return ValueStatus::ok;
}

}  // namespace

// Appends what the stream holds next to the chunk; false when nothing came.
bool ValueReader::read_more()
{
    errno = 0;
    text_.read(end_, chunk_ + chunk_size - end_);
    if (text_.bad())
        error_ = errno;
    end_ += text_.gcount();
    return text_.gcount() > 0;
}

std::string ValueReader::problem(ValueStatus status, int position, int count) const
{
    const std::string value = "value " + std::to_string(position) + " ";
    switch (status) {
    case ValueStatus::ok: break;
    case ValueStatus::end_of_file:
        return "ends after " + std::to_string(position - 1) + " values, " + std::to_string(count) + " needed";
    case ValueStatus::not_a_number: return value + "is not a number";
    case ValueStatus::out_of_range: return value + "is out of single-precision range";
    case ValueStatus::too_long: return value + "is longer than " + std::to_string(max_value_length) + " characters";
    case ValueStatus::read_error:
        return value + "cannot be read" + (error_ != 0 ? std::string(": ") + std::strerror(error_) : std::string());
    }
    return value + "was read";
}

ValueStatus ValueReader::next(float& value)
{
    const char* start = next_;
    while (true) {
        while (start != end_ && is_space(*start))
            start++;
        if (start != end_)
            break;
        start = end_ = chunk_;
        if (!read_more())
            return text_.bad() ? ValueStatus::read_error : ValueStatus::end_of_file;
    }

    // Unless the stream has ended, keep a whole value and the character after
    // it in the chunk, so that from_chars sees where the value's text ends.
    if (end_ - start <= max_value_length && text_.good()) {
        const auto kept = end_ - start;
        std::memmove(chunk_, start, kept);
        start = chunk_;
        end_ = chunk_ + kept;
        read_more();
        if (text_.bad())
            return ValueStatus::read_error;
    }
    const char* const window = end_ - start > max_value_length ? start + max_value_length : end_;
    const char* stop = nullptr;
    const ValueStatus status = parse_number(start, window, value, stop);
    next_ = stop;
    if (status == ValueStatus::ok && (stop == end_ || is_space(*stop)))
        return ValueStatus::ok;

    if (end_ - start > max_value_length && std::none_of(start, start + max_value_length + 1, is_space))
        return ValueStatus::too_long;
    return status == ValueStatus::ok ? ValueStatus::not_a_number : status;
}
