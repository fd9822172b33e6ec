// The cases that run on the kernel's own drivers inside the test machine. Each case prints one
// line, "PASS <case>" or "FAIL <case>", that the machine's script counts; figures go to lines of
// their own beginning with "  ".
#include <gtest/gtest.h>

#include <cstdio>

namespace {

class CaseLines : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const bool passed = info.result()->Passed() || info.result()->Skipped();
        std::printf("%s %s.%s (%lld ms)\n", passed ? "PASS" : "FAIL", info.test_suite_name(),
                    info.name(), static_cast<long long>(info.result()->elapsed_time()));
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CaseLines);
    return RUN_ALL_TESTS();
}
