// The reader of fir_benchmark's sample files: decimal numbers separated by
// white space, taken from the stream a chunk at a time and converted with
// std::from_chars. It accepts and refuses what the stream's formatted
// extraction of a float does in the classic locale, followed by a check that
// the number ends where its text does, and stores the same bits; it spends a
// fraction of the instructions, and its memory is fixed however long the file
// or its values are.
#pragma once

#include <istream>
#include <string>

enum class ValueStatus {
    ok,
    end_of_file,   // nothing but white space was left
    not_a_number,  // including a number with text stuck to it, such as "1.5abc"
    out_of_range,  // beyond single precision; a number too small for it reads as 0
    too_long,      // more than max_value_length characters, whatever they are
    read_error,    // the stream failed; error() says why when the system said
};

inline constexpr int max_value_length = 1024;

class ValueReader {
public:
    // A whole value and the character after it always fit in a chunk.
    static constexpr int chunk_size = 16384;

    explicit ValueReader(std::istream& text) : text_(text) {}

    // Reads the next value into `value`, looking at nothing after it.
    ValueStatus next(float& value);

    // What went wrong with value number `position` (1-based) of the `count`
    // needed, in words: "value 7 is not a number", "ends after 6 values, 10 needed".
    [[nodiscard]] std::string problem(ValueStatus status, int position, int count) const;

private:
    bool read_more();

    std::istream& text_;
    // errno as the failed read left it, when that read set it: iostreams do
    // not promise to, and an older errno would name the wrong reason.
    int error_ = 0;
    char chunk_[chunk_size]{};
    const char* next_ = chunk_;
    char* end_ = chunk_;
};
