// Who and where: the computer's name and the signed-in user's, as records
// name the station and the operator. UTF-8; asked of the system once per
// process. One implementation per platform.
#pragma once

#include <string>

namespace rt {

// Windows: the computer's NetBIOS name; POSIX: the host name. Empty when the
// system gives none.
const std::string& StationName();
// Windows: the user the process runs as; POSIX: that user's login name.
const std::string& OperatorName();

}  // namespace rt
