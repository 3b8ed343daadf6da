// The code objects of the callables defined with `def`, and their defaults.
#pragma once

namespace keyword {

// Creates, for each callable of kDefined in turn, its code object and then
// its defaults tuple if it has defaults.  False with an exception set on
// failure.
bool create_code_objects_and_defaults();

}  // namespace keyword
