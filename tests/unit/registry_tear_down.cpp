// The tear-down every registry test shares: a RegCloseKey on a handle that was not open
// fails the test that made it. Nothing else looks at that call's result, and the handle it
// names may by then be a key someone else opened.
#include <gtest/gtest.h>

#include "platform/registry_store.h"

namespace {

class StrayCloseCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { ForgetStrayRegistryCloses(); }

    void OnTestEnd(const testing::TestInfo&) override {
        const int32_t stray = StrayRegistryCloseCount();
        if (stray != 0) {
            ADD_FAILURE() << stray << " RegCloseKey call(s) on a handle that was not open";
        }
        ForgetStrayRegistryCloses();
    }
};

// Ahead of the result printer, so that a failure found here shows on the test's own line.
const bool kInstalled = [] {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new StrayCloseCheck);
    if (printer != nullptr) listeners.Append(printer);
    return true;
}();

}  // namespace
