#include "runtime/Workstation.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>

namespace rt {

const std::string& StationName() {
    static const std::string name = [] {
        char host[HOST_NAME_MAX + 1] = {};
        return gethostname(host, sizeof host - 1) == 0 ? std::string(host) : std::string();
    }();
    return name;
}

const std::string& OperatorName() {
    static const std::string name = [] {
        const passwd* user = getpwuid(geteuid());
        return user != nullptr && user->pw_name != nullptr ? std::string(user->pw_name) : std::string();
    }();
    return name;
}

}  // namespace rt
