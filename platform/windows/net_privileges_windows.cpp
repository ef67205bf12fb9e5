#include "platform/net_privileges.h"

namespace fk::platform {

// Windows has no network helper: the program binds its ports and makes its entries itself, with
// the rights it was started with (its manifest asks for the highest the user has). No problem
// of a helper is ever reported, so its path names nothing.
NetHelperProblem LastNetHelperProblem() {
    return NetHelperProblem::None;
}

std::string NetHelperPath() {
    return {};
}

}  // namespace fk::platform
