// Runs back to back, each judged by the oracle and leaving no process behind:
// full flashes (the soak; QL_SKIP_SOAK=1 skips them), the fixed seeds, and
// QL_SEED_COUNT random seeds from QL_SEED_FROM (QL_SEED_DRY=1: verdicts only).
#include "rig/harness/harness.h"

namespace {

// Seeds that between them end every way a run can: done (with bursts,
// doubled requests, garbage, late replies, split replies, a slow driver, a
// short stall, a late reader), refused, image missing or of a bad size, no
// handheld, a deaf one, the port's, handshake's and watchdog's deadlines (one
// with a write held past it), failed and short writes, failed first reader
// requests, and a pulled plug.  Each half takes about as long as the other.
const uint32_t FIXED_SEEDS[] = {3518, 1545, 2941, 71,   1819, 2917, 2565, 1970, 325, 601, 1106,
                                2437, 2305, 3007, 1071, 3820, 3961, 2946, 432,  27,  1449, 74};

uint32_t EnvNumber(const char* szName, uint32_t dflt)
{
    const char* psz = getenv(szName);
    return psz != nullptr && *psz != '\0' ? static_cast<uint32_t>(strtoul(psz, nullptr, 10)) : dflt;
}

// Runs schedules one after another in one folder and checks what they leave.
void RunSeries(const std::string& name, const std::vector<uint32_t>& seeds, const Schedule* pFixed, int count)
{
    std::string dir = ScratchDir(name);
    const testing::TestResult* pResult = testing::UnitTest::GetInstance()->current_test_info()->result();
    std::string failed;
    for (int i = 0; i < count; i++) {
        std::string replay = pFixed != nullptr ? "run " + std::to_string(i) : SeedReplay(seeds[i]);
        Schedule s = pFixed != nullptr ? *pFixed : DrawSchedule(seeds[i]);
        int parts = pResult->total_part_count();
        Outcome out = RunJudged(dir, s, replay);
        EXPECT_EQ(ProcessesNamed({"quenlow.exe", "qlsim.exe"}), std::vector<std::string>{}) << replay;
        if (pResult->total_part_count() > parts) failed += replay + "\n";
        if (pFixed != nullptr && !failed.empty()) break;
    }
    if (!failed.empty()) printf("failing runs:\n%s", failed.c_str());
}

// Two shards of ten full 2 MiB flashes each.
class Soak : public testing::TestWithParam<int> {};

TEST_P(Soak, FullFlashesEndCleanAndLeaveNothingBehind)
{
    if (EnvNumber("QL_SKIP_SOAK", 0) == 1) GTEST_SKIP() << "QL_SKIP_SOAK=1";
    const Schedule full{"", 2 * 1048576, ""};
    RunSeries("Soak." + std::to_string(GetParam()), {}, &full, 10);
}

INSTANTIATE_TEST_SUITE_P(Shards, Soak, testing::Range(0, 2));

// The fixed seeds, in two halves.
class Seeds : public testing::TestWithParam<int> {};

TEST_P(Seeds, FixedSeedsEndAsJudged)
{
    size_t half = sizeof(FIXED_SEEDS) / sizeof(FIXED_SEEDS[0]) / 2;
    std::vector<uint32_t> seeds(FIXED_SEEDS + half * GetParam(), FIXED_SEEDS + half * (GetParam() + 1));
    RunSeries("Seeds." + std::to_string(GetParam()), seeds, nullptr, static_cast<int>(seeds.size()));
}

INSTANTIATE_TEST_SUITE_P(Halves, Seeds, testing::Range(0, 2));

TEST(RandomSeeds, EndAsJudged)
{
    uint32_t count = EnvNumber("QL_SEED_COUNT", 0);
    if (count == 0) GTEST_SKIP() << "QL_SEED_COUNT not set";
    uint32_t from = EnvNumber("QL_SEED_FROM", GetTickCount());
    std::vector<uint32_t> seeds;
    for (uint32_t i = 0; i < count; i++) seeds.push_back(from + i);
    for (uint32_t seed = from; EnvNumber("QL_SEED_DRY", 0) == 1 && seed < from + count; seed++) {
        Schedule s = DrawSchedule(seed);
        Verdict v = Judge(s.size, s.sim);
        printf("%u\t%s\t%s\t%u\t%s\n", seed, OpEscape(v.box).c_str(), v.logEnd.c_str(), s.size, s.sim.c_str());
    }
    if (EnvNumber("QL_SEED_DRY", 0) == 1) return;
    printf("seeds %u to %u\n", from, from + count - 1);
    RunSeries("RandomSeeds", seeds, nullptr, static_cast<int>(count));
}

} // namespace
