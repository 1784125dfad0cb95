// The process-wide state that start-up builds, shared by the files of the module frame only.
// All of it lives until the process ends: one interpreter and one module object per process.
#pragma once

#include "call_conventions.h"

#include <array>

namespace tonesift {

struct ModuleState {
    std::int64_t main_interpreter_id = -1;
    Ref current_module;
    Ref namespace_dict;
    Ref builtins;
    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_unicode;
    Ref type_error;
    std::array<Ref, static_cast<std::size_t>(Name::count)> constants;
    std::array<Ref, static_cast<std::size_t>(CodeRecord::count)> code_records;
};

inline constinit NeverDestroyed<ModuleState> module_state;

inline ModuleState &state() noexcept { return module_state.get(); }

inline PyObject *interned(Name name) noexcept
{
    return state().constants[static_cast<std::size_t>(name)].get();
}

}  // namespace tonesift
