// A program's main with no exception escaping it: what the exception says
// becomes one line on standard error, and the exit status 1.
#pragma once

#include <cstdio>
#include <exception>

template <class Body>
int guarded(const char* program, Body body)
{
    try {
        return body();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", program, error.what());
        return 1;
    }
}
