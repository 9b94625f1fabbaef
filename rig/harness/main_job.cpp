// main_job.exe, the main job (rig/main-job.sh): one run of the shipped tool
// against the simulated handheld, judged by the oracle like every test run,
// with a screenshot and a summary for the person who started it.
//   QL_IMAGE_SIZE (default 4 MiB), QL_SEED (default 1), QL_SIM_OPTIONS (added
//   to --rom 32), QL_OK_BY_PERSON=1 (a person presses OK on a real display)
#include "rig/harness/harness.h"

namespace {

// A number from the environment, or the default.
uint32_t EnvNumber(const char* szName, uint32_t dflt)
{
    const char* psz = getenv(szName);
    return psz != nullptr && *psz != '\0' ? static_cast<uint32_t>(strtoul(psz, nullptr, 10)) : dflt;
}

TEST(MainJob, FlashVerified)
{
    const char* pszOptions = getenv("QL_SIM_OPTIONS");
    Schedule s{"main-job", EnvNumber("QL_IMAGE_SIZE", 4194304),
               "--rom 32 " + std::string(pszOptions != nullptr ? pszOptions : ""), EnvNumber("QL_SEED", 1)};
    const char* pszBuild = getenv("QL_BUILD"); // set by rig/main-job.sh, which empties main-job/
    std::string build = pszBuild != nullptr ? pszBuild : BinDir() + "/../..", dir = build + "/main-job";
    g_Watching.shotPath = build + "/artefacts/main-job.png";
    g_Watching.bOkByPerson = EnvNumber("QL_OK_BY_PERSON", 0) == 1;
    Outcome out = RunJudged(dir, s, "main job: QL_IMAGE_SIZE=" + std::to_string(s.size) + " QL_SEED=" +
                                        std::to_string(s.seed) + " QL_SIM_OPTIONS='" + s.sim.substr(9) + "'");
    std::string result = "(none)";
    for (const SimEvent& e : out.log)
        if (e.text.rfind("result ", 0) == 0) result = e.text.substr(7);
    uint32_t blocks = s.size > 262144 ? (s.size - 262144) / 131072 : 0;
    DWORD connect = SimLogTick(out.log, "connect"), last = SimLogTick(out.log, "block " + std::to_string(blocks));
    printf("\nimage:      %s/nk.nb0, %u bytes, seed %u\n", dir.c_str(), s.size, s.seed);
    printf("blocks:     %u of 131,072 bytes: the body, then the two deferred halves\n", blocks);
    printf("handheld:   %s\n", result.c_str());
    if (connect != 0 && last != 0) printf("flash:      %.1f s, connect byte to last block\n", (last - connect) / 1e3);
    printf("wire:       %zu bytes received of %u\n", out.wire.size(), blocks > 0 ? 5 + blocks * 131072 : 0);
    printf("boxes:      %s", DescribeBoxes(out.run).c_str());
    printf("screenshot: %s/artefacts/main-job.png (the dialog alone: main-job-dialog.png)\n", build.c_str());
    printf("logs:       %s/sim.log, %s/quenlow.log\n", dir.c_str(), dir.c_str());
    const testing::TestResult* pResult = testing::UnitTest::GetInstance()->current_test_info()->result();
    printf("result:     %s\n", pResult->Failed() ? "FAILED" : "VERIFIED");
    for (int i = 0; i < pResult->total_part_count(); i++)
        if (pResult->GetTestPartResult(i).failed()) printf("  - %s\n", pResult->GetTestPartResult(i).summary());
}

} // namespace

// GoogleTest's own report is left out: the summary says it all, and ends the output.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    return RUN_ALL_TESTS();
}
