// The main of every test program that runs kernel code: a test that leaves a
// WARNING or BUG report of the kernel layer untaken fails, as a driver that
// WARNs on Linux is broken even when its result looks right.
#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class UntakenWarnings : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo &) override
    {
        khost::take_warnings();
        khost::fail_clear();
    }
    void OnTestEnd(const testing::TestInfo &info) override
    {
        khost::fail_clear();
        for (const std::string &w : khost::take_warnings()) {
            std::fprintf(stderr, "%s.%s left a kernel report behind: %s\n", info.test_suite_name(), info.name(),
                         w.c_str());
            failed_ = true;
        }
    }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    auto *guard = new UntakenWarnings;
    testing::UnitTest::GetInstance()->listeners().Append(guard);
    int result = RUN_ALL_TESTS();
    return result != 0 || guard->failed() ? 1 : 0;
}
