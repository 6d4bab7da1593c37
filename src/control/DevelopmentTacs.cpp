#include "control/DeviceTables.h"

namespace kvinternal {

const std::set<std::string>& developmentTacs() {
    static const std::set<std::string> tacs{
        "86014839", "86111438", "86219573", "86299814", "86315495", "86370027",
        "86551159", "86601521", "86779148", "86834533", "86902544",
    };
    return tacs;
}

}  // namespace kvinternal
