// The lines that traceback entries and code records give, by what they stand for: each is the
// line of its statement in the source that the entries name ("tonesift.cpp", "<stringsource>"),
// which tools that map tracebacks to lines rely on. One table: the code takes its lines from it,
// and the tests read this file for theirs.
#pragma once

namespace tonesift::source_line {

// "tonesift.cpp"
inline constexpr int module_body = 3;       // start-up's statements, and registering Skin
inline constexpr int first_field = 4;       // Skin's six fields, get and set: 4 to 9, in order
inline constexpr int cinit_arguments = 11;  // Skin.__cinit__: binding, and fields before checked
inline constexpr int cinit_checked = 12;
inline constexpr int init_arguments = 21;   // Skin.__init__, the same
inline constexpr int init_checked = 22;
inline constexpr int replace = 30;          // Skin._replace, and start-up binding it
inline constexpr int tonesift = 34;         // tonesift(): binding, and start-up publishing it
inline constexpr int rule_call = 37;        // tonesift() calling the normalised rule
inline constexpr int normalising = 57;      // _norm_rgb_classifier: the sums
inline constexpr int ratio_test = 58;       // _norm_rgb_classifier: the ratios

// "<stringsource>"
inline constexpr int bind_refuse_reduce = 1;
inline constexpr int refuse_reduce = 2;
inline constexpr int refuse_setstate = 3;  // binding its argument, and start-up binding it
inline constexpr int refuse_setstate_raise = 4;

}  // namespace tonesift::source_line
