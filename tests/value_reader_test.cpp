// The sample-file reader against what the program read its files with before:
// the stream's formatted extraction in the classic locale, then a check that
// the number ends where its text does. That reference lives here.

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <locale>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "value_reader.h"

namespace {

ValueStatus extract(const std::string& text, float& value)
{
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    if (stream >> value)
        return stream.peek() == EOF ? ValueStatus::ok : ValueStatus::not_a_number;
    return value == FLT_MAX || value == -FLT_MAX ? ValueStatus::out_of_range : ValueStatus::not_a_number;
}

std::uint32_t bits(float v)
{
    std::uint32_t b = 0;
    std::memcpy(&b, &v, sizeof v);
    return b;
}

// Reads `text` to its end; `last` is the status that ended it.
std::vector<float> read_all(const std::string& text, ValueStatus& last)
{
    std::istringstream stream(text);
    ValueReader reader(stream);
    std::vector<float> values;
    float v = 0.0f;
    while ((last = reader.next(v)) == ValueStatus::ok)
        values.push_back(v);
    return values;
}

void expect_as_extraction(const std::string& text)
{
    float expected = 0.0f;
    const ValueStatus want = extract(text, expected);
    ValueStatus status = ValueStatus::ok;
    const std::vector<float> got = read_all(text, status);
    if (want == ValueStatus::ok) {
        ASSERT_EQ(got.size(), 1u) << '"' << text << '"';
        EXPECT_EQ(bits(got[0]), bits(expected))
            << '"' << text << "\" read as " << got[0] << ", extraction " << expected;
        EXPECT_EQ(status, ValueStatus::end_of_file) << '"' << text << '"';
    } else {
        EXPECT_EQ(status, want) << '"' << text << '"';
    }
}

TEST(ValueReader, AcceptsRefusesAndRoundsAsExtraction)
{
    const char* const edges[] = {
        "+300", "+.5", "+-1", "-+1", "--1", "+", "-", ".", "-.", "1.", ".5", "-0", "000300", "0e5", ".e5", "1.e5",
        "inf", "INF", "-inf", "nan", "NaN", "infinity", "Infinity", "nan(1)", "0x1p3", "0X10", "1e-50", "-1e-50",
        "1e-45", "7e-46", "1e-400", "1e39", "-1e39", "1e400", "3.4028236e38", "3.4028235e38", "3.40282357e38", "1.5e",
        "1e+", "1e-", "1.5abc", "1,5", "1e39x", "1e39e5", "1e39.5", "1e-50x", "1e5e3", "1e5.3", "1.5.3",
    };
    for (const char* text : edges)
        expect_as_extraction(text);
    // Mantissas that overflow, with and without an exponent that has no digits.
    const std::string digits47(47, '1');
    for (const char* tail : {"", "e", ".e+", "e1", "x"})
        expect_as_extraction(digits47 + tail);
    expect_as_extraction("0." + std::string(60, '0') + "1e5");

    // Random texts from the characters a number is made of, and some it is not;
    // then decimal numbers across the whole range, to check the rounding.
    std::mt19937 rng(8);
    const char alphabet[] = "0123456789012345678901234567890123456789..eE+-+-xXinfaNF";
    for (int n = 0; n < 20000; n++) {
        std::string text(1 + rng() % 10, ' ');
        for (char& c : text)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        expect_as_extraction(text);
    }
    for (int n = 0; n < 20000; n++) {
        std::string text = std::to_string(rng() % 100000000) + "." + std::to_string(rng());
        text += "e" + std::to_string(static_cast<int>(rng() % 110) - 65);
        expect_as_extraction(rng() % 2 == 0 ? text : "-" + text);
    }
}

TEST(ValueReader, ReadsValuesAcrossChunksAndAnyWhiteSpace)
{
    ValueStatus last = ValueStatus::ok;
    // Values at every cut around the end of the first chunk, and around the
    // point where the reader moves what is left of it to the front.
    for (const int edge : {ValueReader::chunk_size, ValueReader::chunk_size - max_value_length})
        for (int at = edge - 12; at <= edge + 1; at++) {
            const std::vector<float> values = read_all(std::string(at, ' ') + "123.456789\t-7.5e-3\r\n", last);
            EXPECT_EQ(values, (std::vector<float>{123.456789f, -7.5e-3f})) << "at " << at;
            EXPECT_EQ(last, ValueStatus::end_of_file);
        }

    // Many chunks' worth, with every separator, and no line break at the end.
    const char* const separators[] = {" ", "\t", "\n", "\r\n", "   ", "\v\f"};
    std::string text;
    std::vector<float> expected;
    for (int k = 0; k < 20000; k++) {
        expected.push_back(static_cast<float>(k) * 0.25f - 999.5f);
        text += std::string(separators[k % 6]) + std::to_string(k * 0.25 - 999.5);
    }
    EXPECT_EQ(read_all(text, last), expected);
    EXPECT_EQ(last, ValueStatus::end_of_file);
}

TEST(ValueReader, RefusesAValueLongerThanItsLimitWithoutHoldingIt)
{
    ValueStatus last = ValueStatus::ok;
    const std::string longest = std::string(max_value_length - 1, '0') + "7";
    EXPECT_EQ(read_all(longest + " " + longest, last), (std::vector<float>{7.0f, 7.0f}));
    EXPECT_EQ(last, ValueStatus::end_of_file);

    EXPECT_EQ(read_all("1 0" + longest + " 2", last), std::vector<float>{1.0f});
    EXPECT_EQ(last, ValueStatus::too_long);
    EXPECT_EQ(read_all("1 " + std::string(3000000, '7'), last), std::vector<float>{1.0f});
    EXPECT_EQ(last, ValueStatus::too_long);
}

}  // namespace
