// The reference that the sample-file reader must agree with, bit for bit and
// status for status: what the program read its files with before, the
// stream's formatted extraction of a float in the classic locale, then a check
// that the number ends where its text does. The reader's tests and its fuzz
// target both hold it to this.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "value_reader.h"

// One token of a file, as extraction reads it.
inline ValueStatus extract(const std::string& text, float& value)
{
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    if (stream >> value)
        return stream.peek() == EOF ? ValueStatus::ok : ValueStatus::not_a_number;
    return value == FLT_MAX || value == -FLT_MAX ? ValueStatus::out_of_range : ValueStatus::not_a_number;
}

struct Extracted {
    ValueStatus status;
    float value;
};

// Every value of a whole text as the reader must give them: its tokens
// (separated by the classic locale's white space), each extracted, up to and
// including the first that is not a value, or end_of_file after the last.
inline std::vector<Extracted> extract_all(const std::string& text)
{
    std::vector<Extracted> values;
    std::size_t at = 0;
    while (true) {
        at = text.find_first_not_of(" \t\n\v\f\r", at);
        if (at == std::string::npos) {
            values.push_back({ValueStatus::end_of_file, 0.0f});
            return values;
        }
        const std::size_t end = std::min(text.find_first_of(" \t\n\v\f\r", at), text.size());
        Extracted next{ValueStatus::too_long, 0.0f};
        if (end - at <= static_cast<std::size_t>(max_value_length))
            next.status = extract(text.substr(at, end - at), next.value);
        values.push_back(next);
        if (next.status != ValueStatus::ok)
            return values;
        at = end;
    }
}

inline std::uint32_t bits(float v)
{
    std::uint32_t b = 0;
    std::memcpy(&b, &v, sizeof v);
    return b;
}

inline const char* status_name(ValueStatus status)
{
    switch (status) {
    case ValueStatus::ok: return "ok";
    case ValueStatus::end_of_file: return "end_of_file";
    case ValueStatus::not_a_number: return "not_a_number";
    case ValueStatus::out_of_range: return "out_of_range";
    case ValueStatus::too_long: return "too_long";
    case ValueStatus::read_error: return "read_error";
    }
    return "?";
}
