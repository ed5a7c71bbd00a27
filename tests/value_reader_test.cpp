// The sample-file reader against the reference in extraction.h, on a list of
// edge texts and random ones, across chunk boundaries, at its length limit,
// and on a stream that fails partway.

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "extraction.h"
#include "value_reader.h"

namespace {

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
    std::istringstream stream(text);
    ValueReader reader(stream);
    for (const Extracted& want : extract_all(text)) {
        float got = 0.0f;
        const ValueStatus status = reader.next(got);
        ASSERT_EQ(status_name(status), std::string(status_name(want.status))) << '"' << text << '"';
        if (status == ValueStatus::ok) {
            EXPECT_EQ(bits(got), bits(want.value)) << '"' << text << "\" read as " << got << ", extraction " << want.value;
        }
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

// A buffer that hands out its text in one piece, then fails, as a disk or a
// network file system can; `error` is what the failed read leaves in errno.
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer(std::string text, int error) : text_(std::move(text)), error_(error) {}

protected:
    int_type underflow() override
    {
        if (served_) {
            errno = error_;
            throw std::runtime_error("read failed");
        }
        served_ = true;
        setg(text_.data(), text_.data(), text_.data() + text_.size());
        return traits_type::to_int_type(text_[0]);
    }

private:
    std::string text_;
    int error_;
    bool served_ = false;
};

TEST(ValueReader, ReportsAStreamThatFailsPartwayAndNeverAStaleReason)
{
    // More than a chunk: the first read succeeds, a later one fails.
    std::string text;
    for (int k = 0; k < 5000; k++)
        text += "1.5 ";
    for (const auto& [error, reason] : {std::pair<int, std::string>{EIO, ": Input/output error"}, {0, ""}}) {
        FailingBuffer buffer(text, error);
        std::istream stream(&buffer);
        ValueReader reader(stream);
        int read = 0;
        float v = 0.0f;
        ValueStatus status = ValueStatus::ok;
        errno = ENOENT;  // left by something earlier, which must never be named
        while ((status = reader.next(v)) == ValueStatus::ok && v == 1.5f)
            read++;
        EXPECT_EQ(status_name(status), std::string("read_error"));
        EXPECT_GT(read, 0);
        EXPECT_LT(read, 5000);
        EXPECT_EQ(reader.problem(status, read + 1, 100000),
                  "value " + std::to_string(read + 1) + " cannot be read" + reason);
    }
}

}  // namespace
