#include "ExceptionReport.h"

#include <cstdio>

#include "CVyException.h"
#include "Console.h"

namespace {
void printReport(const char* text) {
    std::printf("Exception occured:\n%s\n\n", text);
    std::printf("Press any key to end program...\n");
    std::fflush(stdout);
}
}  // namespace

void reportExceptionAndWaitForKey(const char* text) {
    printReport(text);
    // At the end of input this returns at once, so a run without a keyboard goes on.
    Console::_getch();
}

void reportExceptionAndWaitForKey(const CVyException& exception) {
    reportExceptionAndWaitForKey(exception.ToString(true).ToCString());
}

void reportWorkerException(const char* text, const std::function<bool()>& keepWaiting) {
    printReport(text);
    Console::waitForKeyTaken(keepWaiting);
}

bool runReportingFailures(const std::function<void()>& step, const std::function<bool()>& keepWaiting) {
    try {
        step();
        return true;
    } catch (const CVyException& exception) {
        reportWorkerException(exception.ToString(true).ToCString(), keepWaiting);
    } catch (const std::exception& exception) {
        reportWorkerException(exception.what(), keepWaiting);
    } catch (...) {
        reportWorkerException("unknown exception", keepWaiting);
    }
    return false;
}
