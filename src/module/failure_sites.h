// Failure sites: where a failure is reported, as the traceback entry it adds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "source_lines.h"

#include <type_traits>

namespace tonesift {

inline constexpr char source_file[] = "tonesift.cpp";
inline constexpr char string_source[] = "<stringsource>";
inline constexpr char start_up_function[] = "init tonesift";

struct FailureSite {
    const char *function;  // qualified name, as tracebacks print it
    const char *file;
    int line;
};

// Adds the site's entry to the pending exception. The code record of each site is made on its
// first failure and reused after that.
void add_traceback_entry(const FailureSite &site) noexcept;

template <class Result> Result failure_marker() noexcept
{
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return -1;
    }
}

template <class Result> Result fail(const FailureSite &site) noexcept
{
    add_traceback_entry(site);
    return failure_marker<Result>();
}

}  // namespace tonesift
