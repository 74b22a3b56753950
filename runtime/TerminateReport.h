#pragma once
// What the process leaves behind when it ends through std::terminate: an exception that no handler
// caught, in any thread, or a direct call. Standard error (the service manager's journal, a test's
// log file) and the system log get one line naming the exception's type and text; standard error
// then gets the stack at the throw. The process aborts as before, so a core dump is still written.

namespace CfgAgent {

// Installs the report as the terminate handler. Start-up calls it once, before any thread starts.
void InstallTerminateReport();

}  // namespace CfgAgent
