// What the host's test files share: a scratch folder of their own and reading a file whole.
#pragma once

#include "scratch_folder.hpp"

namespace hosttest {

using testsupport::FreshFolder;
using testsupport::ReadAll;

}  // namespace hosttest
