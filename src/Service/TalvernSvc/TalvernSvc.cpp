// TalvernSvc.cpp - program entry of the TalvernSvc service.
//
// The service control manager runs this program in a process of its own;
// main hands the service table to the dispatcher, which starts ServiceMain
// on a thread of its own and calls the control handler on this thread. The
// call returns once the service has stopped.
//
// Started in any other way (from a command prompt, say) the dispatcher
// cannot start: main then reports the failed check on the standard error
// stream and ends with a failure status. The check is made in every build.
#include <cstdio>
#include <cstdlib>

#include "TalvernSvc.h"

namespace {

// The exit status of a program that ends on a failed assertion.
constexpr int FAILED_ASSERTION_STATUS = 3;

// Reports a failed check naming its expression, source file and line on the
// standard error stream and ends the process with FAILED_ASSERTION_STATUS.
[[noreturn]] void FailCheck(const char* expression, const char* file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    std::fflush(stderr);
    std::exit(FAILED_ASSERTION_STATUS);
}

}  // namespace

// Checked in every build, unlike assert.
#define SERVICE_CHECK(expression) \
    ((expression) ? (void)0 : FailCheck(#expression, "TalvernSvc.cpp", __LINE__))

// The one service of this program; the last entry ends the table.
SERVICE_TABLE_ENTRYW g_service_table[] = {
    {const_cast<LPWSTR>(TALVERN_SERVICE_NAME), ServiceMain},
    {nullptr, nullptr},
};

// Runs the service dispatcher; returns 0 once the service has stopped. The
// command line is ignored.
int main()
{
    // Keep this check on line 50: operators know its report by that line,
    // and a test holds it there.

    BOOL b_ret = g_service_control.start_dispatcher(g_service_table);
    SERVICE_CHECK(b_ret);
    return 0;
}
