// The --help text, with the exit codes and what each message means, and
// the short text of a usage error.
#pragma once

#include <string>

#include "Arguments.h"

namespace zefa::cli {

std::string HelpText(PortSyntax syntax);
std::string UsageError(const std::string& error);

}  // namespace zefa::cli
