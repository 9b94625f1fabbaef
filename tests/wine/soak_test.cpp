// Soak: full flashes and short runs back to back, in shards that ctest runs in
// different Wine lanes.  No run may hang, crash, or end other than it should;
// no process of the tool or the simulator may be left behind; and the
// stand-in driver must never see a request on a closed handle or a handle
// closed twice.  QL_SKIP_SOAK=1 skips it for a quick local run.
#include "rig/harness/harness.h"

namespace {

constexpr uint32_t MiB = 1048576;

// What the stand-in driver has counted so far.
SIM_STATE DriverState()
{
    SIM_STATE state = {};
    HSIMCTL hCtl = SimOpenControl();
    EXPECT_NE(hCtl, nullptr);
    if (hCtl == nullptr) return state;
    EXPECT_TRUE(SimState(hCtl, &state));
    SimClose(hCtl);
    return state;
}

// One kind of run: the image, the handheld's options, and how it must end.
struct Kind {
    uint32_t size;
    const char* sim;
    const char* box;
    size_t wireBytes; // 0: the whole exchange
};

const Kind FULL = {2 * MiB, "", "Flash Done!", 0};
const Kind SILENT = {2 * MiB, "--ready none", "Lost USB connection!", 1};
const Kind REFUSED = {9 * MiB, "--rom 8",
                      "Flash ROM size is not enough!\r\nImage File size : 9 Mbytes\r\nFlash ROM size : 8 Mbytes",
                      5};

// Shards 0 and 1: ten full flashes each; 2 and 3: twenty short runs each,
// ending at the handshake time-out or a refusal in turn.
class Soak : public testing::TestWithParam<int> {};

TEST_P(Soak, RunsEndCleanAndLeaveNothingBehind)
{
    if (getenv("QL_SKIP_SOAK") != nullptr && strcmp(getenv("QL_SKIP_SOAK"), "1") == 0)
        GTEST_SKIP() << "QL_SKIP_SOAK=1";
    bool bFull = GetParam() < 2;
    std::string dir = ScratchDir("Soak." + std::to_string(GetParam()));
    SIM_STATE before = DriverState();
    for (int i = 0; i < (bFull ? 10 : 20); i++) {
        const Kind& kind = bFull ? FULL : i % 2 ? REFUSED : SILENT;
        SCOPED_TRACE(testing::Message() << "run " << i << " (" << kind.sim << ")");
        Outcome out = RunTool(dir, kind.size, kind.sim, 30000);
        ASSERT_EQ(out.run.exitCode, 0) << DescribeBoxes(out.run);
        ASSERT_EQ(out.run.boxes.size(), 1u) << DescribeBoxes(out.run);
        ASSERT_EQ(out.run.boxes[0].text, kind.box);
        std::vector<uint8_t> expected = ExpectedWire(kind.size);
        if (kind.wireBytes != 0) expected.resize(kind.wireBytes);
        ASSERT_TRUE(out.wire == expected) << out.wire.size() << " bytes on the wire";
        ASSERT_EQ(ProcessesNamed({"quenlow.exe", "qlsim.exe"}), std::vector<std::string>{});
    }
    SIM_STATE after = DriverState();
    EXPECT_EQ(after.lateRequests - before.lateRequests, 0u) << "requests on a closed handle";
    EXPECT_EQ(after.doubleCloses - before.doubleCloses, 0u) << "handles closed twice";
    EXPECT_EQ(after.opens - before.opens, bFull ? 20u : 40u) << "two opens a run";
}

INSTANTIATE_TEST_SUITE_P(Shards, Soak, testing::Range(0, 4));

} // namespace
