// What the module takes from the code it shares with the sparse engine
// (cpp/common): the owning reference, the recursion bounds and the walk over
// a set's entries, under the names the module uses them by.
#pragma once

#include "common/recursion.hpp"
#include "common/ref.hpp"
#include "common/set_entries.hpp"

namespace keyword {

using vellumcrest::Borrowed, vellumcrest::Failed, vellumcrest::Ref, vellumcrest::SavedError, vellumcrest::store;
using vellumcrest::enter_call, vellumcrest::leave_call, vellumcrest::next_set_entry;

}  // namespace keyword
