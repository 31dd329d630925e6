// Questions asked of the user's session bus: whether another program of the suite is running
// is whether its well-known bus name has an owner.
//
// Any thread. A call blocks for at most a second; without a session bus, or for a text that is
// not a bus name, the answer is false.
#pragma once

#include <string>

namespace qby {

bool sessionBusNameHasOwner(const std::string& name);

}  // namespace qby
