// The stand-in for the platform's credential and certificate dialogs: the
// helper program named by KELO_ASKPASS, run without a shell as
//   PROG proxy URL          prints user:password
//   PROG client-cert HOST   prints the path of a PEM file (certificate and key)
#pragma once

#include <optional>
#include <string>

namespace rimo::platform {

// What the helper printed on its first line, without the line end; nullopt
// when there is no helper, it cannot be started, it fails (exit status not
// 0), prints nothing, or runs longer than timeoutMs (then it is killed).
// Counts as the user cancelling the dialog. The answer never goes to a trace.
std::optional<std::string> AskHelper(const std::string& kind, const std::string& subject, int timeoutMs = 120000);

}  // namespace rimo::platform
