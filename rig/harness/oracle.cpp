// The oracle: from a handheld's schedule (the image and the simulator's
// options, read by the simulator's own parser) the one right ending of a run,
// and the check of a whole run against it; and handhelds drawn from a seed.
#include "rig/harness/harness.h"

#include "link/link.h"
#include "rig/sim/options.h"

#include <algorithm>
#include <sstream>

namespace {

constexpr uint32_t MiB = 1048576, BLOCK = 131072, PIECE = 12288, HEAD_BYTES = 5;
constexpr uint32_t PIECES = BLOCK / PIECE + 1; // 10 whole pieces and one of 8,192

// Timings this close to a deadline are never drawn: the verdict there would
// be a guess.  Each deadline's side is decided with this margin.
constexpr DWORD PORT_MS = 10000, HANDSHAKE_MS = 1000, WATCHDOG_MS = 30000, MARGIN_MS = 150;

// Device-control requests of the port's set-up, as Windows' serial calls
// make them: two opens of 11 (settings read, written, DTR, RTS), then the
// reader's time-outs and first arm.  A slow driver takes this many delays.
constexpr DWORD PORT_REQUESTS = 2 * 11 + 3;

const char SZ_LOST[] = "Lost USB connection!";

uint32_t PieceSize(uint32_t piece) { return piece + 1 < PIECES ? PIECE : BLOCK - (PIECES - 1) * PIECE; }

// True when the driver fails the index-th request of a kind (counted from 0):
// the driver keeps the last fault given for each kind.
bool Faulted(const SIM_OPTIONS& o, uint32_t kind, uint32_t index)
{
    const SIM_FAULT* pLast = nullptr;
    for (const SIM_FAULT& f : o.faults)
        if (f.request == kind) pLast = &f;
    return pLast != nullptr && index >= pLast->skip && index - pLast->skip < pLast->count;
}

std::string Num(uint64_t n) { return std::to_string(n); }

// "Lost USB connection!", perhaps at a deadline that runs from an event.
Verdict Lost(uint32_t wireMin, uint32_t wireMax, const std::string& logEnd, const char* from = nullptr,
             DWORD deadlineMs = 0, DWORD okDelayMs = 300)
{
    return Verdict{SZ_LOST, "Error", "dialog", wireMin, wireMax, logEnd, from, deadlineMs, okDelayMs, 60000, 0};
}

// What the handheld does at each step, once the tool has the port; the first
// step that goes wrong decides the run.
Verdict JudgeExchange(const SIM_OPTIONS& o, uint32_t size)
{
    const std::string hs = "lost: handshake deadline passed";
    // The driver fails requests whether or not a deaf handheld reads.
    if (Faulted(o, SIMREQ_ARM, 0) || Faulted(o, SIMREQ_WAIT, 0))
        return Lost(0, 1, "lost: writing the connect byte failed: the port had been closed|" + hs);
    // A driver that holds the opens, the settings or the reader's start: the
    // port's deadline runs from its first open, and nothing of the image has
    // gone.  The box stays up long enough to show that nothing follows it.  A
    // deaf handheld reads nothing, so it never lets a held arm request go.
    bool bDeafHold = o.bDeaf && o.dwArmDelayMs != 0; // its log has no "open" to time the box from
    if (o.dwArmDelayMs >= PORT_MS + MARGIN_MS || bDeafHold || o.dwSlowMs * PORT_REQUESTS >= PORT_MS + MARGIN_MS) {
        Verdict v = Lost(0, 0, "port: the port's opens, settings or the reader's start held up",
                         bDeafHold ? nullptr : "port", PORT_MS, std::max<DWORD>(300, 3 * o.dwSlowMs));
        v.box = "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.";
        return v;
    }
    if (Faulted(o, SIMREQ_WRITE, 0)) return Lost(0, 0, "lost: writing the connect byte failed: error ");
    if (Faulted(o, SIMREQ_SHORT_WRITE, 0))
        return Lost(0, 0, "lost: writing the connect byte failed: went out short, 0 of 1 bytes");
    if (o.bDeaf) return Lost(0, 0, hs);
    DWORD readyMs = o.readyMode == READY_LATE ? o.dwReadyLateMs : 0;
    if (o.readyMode == READY_NONE || readyMs >= HANDSHAKE_MS + MARGIN_MS || Faulted(o, SIMREQ_READ, 0))
        return Lost(1, 1, hs, "connect", HANDSHAKE_MS, // a late reply comes while the box is up
                    std::min<DWORD>(std::max<DWORD>(readyMs, 300), 5000));
    if (Faulted(o, SIMREQ_CYCLE_END, 0)) // the reader ends after the ready reply's cycle
        return Lost(1, HEAD_BYTES + BLOCK - 1,
                    "lost: writing the length word failed: the port had been closed|lost: writing block 1 of " +
                        Num((size - 262144) / BLOCK) + " failed: the port had been closed|lost: watchdog");
    if (Faulted(o, SIMREQ_WRITE, 1)) return Lost(1, 1, "lost: writing the length word failed: error ");
    if (Faulted(o, SIMREQ_SHORT_WRITE, 1))
        return Lost(3, 3, "lost: writing the length word failed: went out short, 2 of 4 bytes");
    uint32_t blocks = (size - 262144) / BLOCK, megabytes = size / MiB;
    for (uint32_t b = 1; b <= blocks; b++) {
        uint32_t at = HEAD_BYTES + (b - 1) * BLOCK;
        // No data block after a refusing ROM-size reply, which judges the
        // whole image however late it comes: --rom's after the length word,
        // or one among the stray bytes after block b - 1 (or ahead of the
        // ready reply), as the reader decodes them.
        uint32_t rom = 0; // the latest one counts
        for (const auto& g : o.garbage)
            for (size_t i = 0; g.first + 1 == b && i + 1 < g.second.size(); i++)
                for (uint32_t mib : {32u, 24u, 16u, 8u}) rom = g.second[i] == mib && g.second[i + 1] == 0 ? mib : rom;
        rom = b == 1 && o.dwRomMiB != 0 ? o.dwRomMiB : rom;
        if (rom != 0 && megabytes > rom)
            return Verdict{"Flash ROM size is not enough!\r\nImage File size : " + Num(megabytes) +
                               " Mbytes\r\nFlash ROM size : " + Num(rom) + " Mbytes",
                           "Error", "dialog", at, at,
                           "refused: image of " + Num(megabytes) + " MiB for a " + Num(rom) + " MiB flash ROM",
                           nullptr, 0, 300, 60000, 0};
        std::string what = "lost: writing block " + Num(b) + " of " + Num(blocks) + " failed: ";
        DWORD delay = o.dwNextDelayMs + (b == 1 && o.dwRomMiB != 0 ? o.dwRomGapMs : 0);
        for (const auto& gap : o.gaps)
            if (gap.first == b) delay += gap.second;
        if (delay >= WATCHDOG_MS + MARGIN_MS)
            return Lost(at, at,
                        "lost: watchdog: no block request within 30 s after " +
                            (b == 1 ? std::string("the length word") : "block " + Num(b - 1) + " of " + Num(blocks)),
                        "request", WATCHDOG_MS, std::min<DWORD>(delay - WATCHDOG_MS + 1000, 5000));
        for (uint32_t p = 0; p < PIECES; at += PieceSize(p), p++) {
            uint32_t write = 2 + (b - 1) * PIECES + p;
            if (Faulted(o, SIMREQ_WRITE, write)) return Lost(at, at, what + "error ");
            if (Faulted(o, SIMREQ_SHORT_WRITE, write))
                return Lost(at + PieceSize(p) / 2, at + PieceSize(p) / 2,
                            what + "went out short, " + Num(PieceSize(p) / 2) + " of " + Num(PieceSize(p)) + " bytes");
            uint64_t arrived = uint64_t{at} + PieceSize(p) - HEAD_BYTES;
            if (o.bUnplugAfterSet && arrived >= o.qwUnplugAfter) // mid-block: the next piece fails
                return Lost(at + PieceSize(p), at + PieceSize(p), what);
            // A handheld that stops taking bytes mid-block past the watchdog:
            // the write in flight completes only after the box, and nothing
            // of the block follows it.
            if (o.bStallSet && arrived >= o.qwStallAfter && p + 1 < PIECES && o.dwStallMs >= WATCHDOG_MS + MARGIN_MS) {
                Verdict v = Lost(at + PieceSize(p) + PieceSize(p + 1), at + PieceSize(p) + PieceSize(p + 1),
                                 "lost: watchdog: no block request within 30 s after " +
                                     (b == 1 ? std::string("the length word") : "block " + Num(b - 1) + " of " + Num(blocks)),
                                 "request", WATCHDOG_MS, o.dwStallMs - WATCHDOG_MS + 1500);
                v.heldWrites = 1;
                return v;
            }
        }
    }
    return Verdict{"Flash Done!", "Message", "dialog", HEAD_BYTES + blocks * BLOCK, HEAD_BYTES + blocks * BLOCK,
                   "Flash Done! " + Num(blocks * BLOCK) + " image bytes", nullptr, 0, 300, 60000, 0};
}

// The simulator's options as its own parser reads them.
SIM_OPTIONS ParseOptions(const std::string& sim)
{
    std::istringstream in(sim);
    std::vector<std::string> words{"qlsim"};
    for (std::string word; in >> word;) words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    SIM_OPTIONS o;
    EXPECT_TRUE(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), &o)) << sim;
    return o;
}

// The reader's request that a simulator log line records: 'A' arm, 'W' wait,
// 'C' cycle end, or 0 for any other line.
char ReaderRequest(const std::string& line)
{
    const struct { DWORD dwCode; const char* szSizes; char letter; } kinds[] = {
        {IOCTL_LINK_ARM_MASK, "in=4 out=0", 'A'}, {IOCTL_LINK_WAIT_EVENT, "in=0 out=4", 'W'},
        {IOCTL_LINK_CYCLE_END, "in=4 out=0", 'C'}};
    for (const auto& kind : kinds) {
        char szPrefix[48]; // as the simulator logs the request
        snprintf(szPrefix, sizeof(szPrefix), "ioctl 0x%lx %s ", kind.dwCode, kind.szSizes);
        if (line.rfind(szPrefix, 0) == 0) return kind.letter;
    }
    return 0;
}

// Checks one session (open to open) at the driver: 115,200 baud, 8 data bits,
// no parity, one stop bit, no flow control, DTR raised before RTS; once the
// reader runs (the handshake began), reads that return at once; the reader's
// requests armed once, then each cycle wait, arm again, read, end the cycle
// (a closed port may cut the pattern short).
void ExpectSession(const std::vector<std::string>& lines, bool bConnected)
{
    std::string settings, before, requests, pattern = "A";
    bool bAtOnce = false;
    for (const std::string& line : lines) {
        if (ReaderRequest(line) != 0) requests += ReaderRequest(line);
        if (line.rfind("settings ", 0) == 0 && settings.find("dtr=1 rts=1 ") == std::string::npos) {
            before = settings;
            settings = line;
        }
        bAtOnce = bAtOnce || line.find(" ri=4294967295 rm=0 rc=0 ") != std::string::npos;
    }
    while (pattern.size() < requests.size()) pattern += "WAC";
    EXPECT_EQ(requests, pattern.substr(0, requests.size())) << "the reader's requests, in order";
    if (settings.empty()) return;
    unsigned handshake = 0, flow = 0;
    size_t at = settings.find(" handshake=");
    ASSERT_NE(at, std::string::npos) << settings;
    sscanf(settings.c_str() + at, " handshake=0x%x flow=0x%x", &handshake, &flow);
    EXPECT_NE(settings.find("baud=115200 data=8 parity=0 stop=0 dtr=1 rts=1 "), std::string::npos) << settings;
    EXPECT_EQ(handshake & 0x18u, 0u) << "no CTS or DSR flow control: " << settings;
    EXPECT_EQ(flow & 0x03u, 0u) << "no XON/XOFF: " << settings;
    EXPECT_NE(before.find("dtr=1 rts=0 "), std::string::npos) << "DTR goes up before RTS: " << before;
    EXPECT_TRUE(bAtOnce || !bConnected) << "the reader's reads wait for their bytes";
}

// True for the simulator event a deadline runs from: the connect byte, the
// port's open, or the latest block request (or the length word, before the
// first).
bool StartsDeadline(const SimEvent& e, const std::string& from)
{
    if (from == "request")
        return e.text.rfind("length ", 0) == 0 ||
               (e.text.rfind("send ", 0) == 0 && e.text.find("04 00") != std::string::npos);
    if (from == "port") return e.text == "open";
    return e.text.rfind(from, 0) == 0;
}

// One pseudo-random stream per seed (xorshift32 over a mixed seed).
struct Draw {
    uint32_t state;
    explicit Draw(uint32_t seed) : state(seed * 2654435761u ^ 0x9E3779B9u) { Next(); }
    uint32_t Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
};

} // namespace

bool EndsAs(const std::string& line, const std::string& choices)
{
    for (size_t from = 0; from <= choices.size();) {
        size_t bar = std::min(choices.find('|', from), choices.size());
        if (line.compare(0, 5 + bar - from, "end: " + choices.substr(from, bar - from)) == 0) return true;
        from = bar + 1;
    }
    return false;
}

Verdict Judge(uint32_t size, const std::string& sim)
{
    SIM_OPTIONS o = ParseOptions(sim);
    Verdict v;
    v.owner = "main";
    if (size == 0) {
        v.box = "Can't open nk.nb0";
        v.logEnd = "image: nk.nb0 can't be opened (error 2:";
    } else if (size < 524288 || (size - 524288) % BLOCK != 0) {
        v.box = "Invalid nk.nb0 file size";
        v.logEnd = "image: nk.nb0 is " + Num(size) + " bytes, not";
    } else if (o.bAbsent) {
        v.box = "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.";
        v.owner = "dialog";
        v.logEnd = "port: \\\\.\\WCEUSBSH001 can't be opened (error 2:";
    } else {
        v = JudgeExchange(o, size);
    }
    DWORD delays = o.dwNextDelayMs * ((size > 262144 ? size - 262144 : 0) / BLOCK);
    for (const auto& gap : o.gaps) delays += gap.second;
    v.limitMs = 60000 + delays + o.dwSlowMs * (3 * ((size > 262144 ? size - 262144 : 0) / BLOCK) + 40) +
                (o.bStallSet ? o.dwStallMs : 0);
    // A request issued before the box reaches the simulator's log only when a
    // slow driver has served it (one settings call makes up to six), or a
    // stalled handheld reads again.
    v.settleMs = 250 + 6 * o.dwSlowMs + (o.bStallSet ? o.dwStallMs : 0);
    return v;
}

void ExpectJudged(const Outcome& out, const Verdict& v, const std::string& replay)
{
    SCOPED_TRACE(replay);
    EXPECT_EQ(out.run.exitCode, 0);
    ExpectOnlyBox(out.run, v.caption.c_str(), v.box.c_str(), v.owner.c_str(), __LINE__);
    std::vector<uint8_t> expected = ExpectedWire(out.size, out.seed);
    EXPECT_GE(out.wire.size(), v.wireMin);
    EXPECT_LE(out.wire.size(), v.wireMax);
    expected.resize(std::min(expected.size(), out.wire.size()));
    EXPECT_TRUE(out.wire == expected) << "bytes that are not the image's regions in order";
    // A timer's end and "Flash Done!" shrink the dialog to nothing first.
    bool bShrinks = v.logEnd.find('|') == std::string::npos &&
                    (v.caption == "Message" || v.logEnd.rfind("lost: handshake", 0) == 0 ||
                     v.logEnd.rfind("lost: watchdog", 0) == 0 || v.logEnd.rfind("port: the port's", 0) == 0);
    if (bShrinks && !out.run.atBox.empty()) {
        EXPECT_EQ(out.run.atBox[0].rect.right - out.run.atBox[0].rect.left, 0) << "shrunk before the box";
    }
    // At "Flash Done!" the bar counts every byte sent (never the head) and the
    // percentage follows it; 100 comes only after OK, and the dialog ends so
    // soon after it that the operator may not see it: nothing else may show.
    if (v.caption == "Message" && !out.run.atBox.empty()) {
        const OpDialog& d = out.run.atBox[0];
        EXPECT_EQ(d.barMax, static_cast<int>(out.size));
        EXPECT_EQ(d.barPos, static_cast<int>(out.size - 262144));
        EXPECT_EQ(d.percent, Num(uint64_t{out.size - 262144} * 100 / out.size));
        std::string last = out.run.percents.empty() ? "" : out.run.percents.back();
        EXPECT_TRUE(last == "100" || last == d.percent) << last;
    }

    DWORD dwBox = out.run.boxTicks.empty() ? 0 : out.run.boxTicks[0];
    // No data goes out before the handheld asked for it: what the tool wrote
    // never runs ahead of the connect byte, the length word and a block for
    // each 04 00 the handheld sent (the simulator's own log, in its order).
    uint64_t written = 0, asked = HEAD_BYTES;
    uint32_t heldWrites = 0;
    for (const SimEvent& e : out.log) {
        if (e.text.compare(0, 5, "send ") == 0 && e.text.find(" lost") == std::string::npos)
            for (size_t at = 5; at + 5 <= e.text.size(); at += 3)
                if (e.text.compare(at, 5, "04 00") == 0) asked += BLOCK;
        if (e.text.compare(0, 6, "write ") == 0) {
            written += strtoul(e.text.c_str() + 6, nullptr, 10);
            EXPECT_LE(written, asked) << e.text << ": data the handheld had not asked for";
        }
        // Nothing reaches the device after the box: no open, setting or
        // reader request, and no write but one a stalled handheld held.
        bool bWrite = e.text.compare(0, 6, "write ") == 0;
        if (dwBox != 0 && e.tick >= dwBox + (bWrite ? 250 : v.settleMs)) {
            heldWrites += bWrite ? 1 : 0;
            EXPECT_TRUE(e.text != "open" && e.text.rfind("settings ", 0) != 0 && ReaderRequest(e.text) == 0 &&
                        (!bWrite || heldWrites <= v.heldWrites))
                << e.text << " after the box";
        }
        // Two pauses of a second each let the sync software go before the port is opened.
        if (e.text == "open") {
            EXPECT_GE(e.tick, out.run.dwStartTick + 1980) << "port opened too soon";
        }
    }
    std::vector<std::string> session;
    bool bConnected = false;
    for (size_t i = 0; i <= out.log.size(); i++) {
        if (i == out.log.size() || out.log[i].text == "open") {
            ExpectSession(session, bConnected);
            session.clear();
            bConnected = false;
        }
        if (i < out.log.size()) session.push_back(out.log[i].text);
        bConnected = bConnected || (i < out.log.size() && out.log[i].text == "connect");
    }
    if (v.deadlineFrom != nullptr && dwBox != 0) {
        DWORD from = 0; // the latest such event before the box; the port's first open
        bool bFirst = std::string(v.deadlineFrom) == "port";
        for (const SimEvent& e : out.log)
            if (StartsDeadline(e, v.deadlineFrom) && e.tick <= dwBox && !(bFirst && from != 0)) from = e.tick;
        EXPECT_NE(from, 0u) << "no \"" << v.deadlineFrom << "\" before the box";
        long late = static_cast<long>(dwBox - from) - static_cast<long>(v.deadlineMs);
        // The simulator sees the port's open some milliseconds after the tool
        // made it (and armed the timer).
        EXPECT_GE(late, bFirst ? -60 : -20) << "the box came before its deadline";
        EXPECT_LE(late, 400) << "the box came long after its deadline"; // timer, box, the operator's look
    }
    std::vector<std::string> log = ToolLog(out.dir), ports;
    ASSERT_FALSE(log.empty()) << "no quenlow.log";
    for (size_t i = log.size(); i-- > 0;) // this run's lines only
        if (log[i].rfind("quenlow ", 0) == 0 && log[i].find(" started ") != std::string::npos) {
            log.erase(log.begin(), log.begin() + static_cast<ptrdiff_t>(i));
            break;
        }
    EXPECT_TRUE(EndsAs(log.back(), v.logEnd)) << log.back() << "\nexpected: end: " << v.logEnd;
    for (const std::string& line : log)
        if (line.rfind("port ", 0) == 0) ports.push_back(line);
    if (v.owner == "main") {
        EXPECT_TRUE(ports.empty()) << "the image is checked before the port";
    }
    if (v.owner == "dialog" && v.logEnd.rfind("port:", 0) != 0) {
        // Opened, closed and opened again, as the handheld's driver expects.
        const std::string opened = "port \\\\.\\WCEUSBSH001 opened";
        ports.resize(std::max<size_t>(ports.size(), 3));
        EXPECT_EQ(ports[0] + "; " + ports[1] + "; " + ports[2], opened + "; port closed; " + opened);
    }
}

// What the stand-in driver has counted so far (zeros if it can't be asked).
static SIM_STATE DriverState()
{
    SIM_STATE state = {};
    HSIMCTL hCtl = SimOpenControl();
    if (hCtl != nullptr && !SimState(hCtl, &state)) state = SIM_STATE{};
    if (hCtl != nullptr) SimClose(hCtl);
    return state;
}

Outcome RunJudged(const std::string& dir, const Schedule& s, const std::string& replay)
{
    Verdict v = Judge(s.size, s.sim);
    SIM_STATE before = DriverState();
    Outcome out = RunTool(dir, s.size, s.sim, v.limitMs, v.okDelayMs, s.seed);
    ExpectJudged(out, v, replay);
    // The port's handle is never used once closed, nor closed twice.
    SIM_STATE after = DriverState();
    EXPECT_EQ(after.lateRequests - before.lateRequests, 0u) << replay << ": requests on a closed handle";
    EXPECT_EQ(after.doubleCloses - before.doubleCloses, 0u) << replay << ": handles closed twice";
    return out;
}

Schedule DrawSchedule(uint32_t seed)
{
    Draw d(seed);
    std::ostringstream sim;
    Schedule s{"", 0, ""};
    uint32_t body = 2 + d.Below(14); // small images mostly: quick runs
    uint32_t pick = d.Below(100);
    if (pick < 2) {
        s.size = pick == 0 ? 0 : 524288 + 1 + d.Below(BLOCK - 1); // missing, or of a bad size
    } else if (pick < 30) {
        uint32_t rom = (const uint32_t[]){8, 16, 24, 32}[d.Below(d.Chance(70) ? 2 : 4)];
        // Refused (M = R + 1 or more), or just fitting (M = R), or small.
        uint32_t kind = d.Below(3);
        s.size = kind == 0   ? (rom + 1 + d.Below(2)) * MiB + d.Below(8) * BLOCK
                 : kind == 1 ? (rom + 1) * MiB - BLOCK * (1 + d.Below(4))
                             : 262144 + body * BLOCK;
        sim << " --rom " << rom << " --rom-gap " << (d.Chance(40) ? 0 : d.Below(300));
        if (d.Chance(25)) sim << " --rom-twice";
    } else {
        s.size = 262144 + body * BLOCK;
    }
    uint32_t blocks = s.size > 262144 ? (s.size - 262144) / BLOCK : 1;
    if (d.Chance(2)) sim << (d.Chance(50) ? " --absent" : " --deaf");
    // The ready reply and a late reader: well inside the second, or well past it.
    uint32_t ready = d.Below(100);
    if (ready < 5) sim << " --ready none";
    else if (ready < 11) sim << " --ready late:" << 1150 + d.Below(1500);
    else if (ready < 21) sim << " --ready skew";
    else if (ready < 45) sim << " --ready late:" << d.Below(700);
    // A late reader: the port's deadline runs from its first open, so a held
    // request of a few seconds still fits.
    if (d.Chance(3)) sim << " --arm-delay " << 1150 + d.Below(2000);
    else if (ready >= 11 && d.Chance(10)) sim << " --arm-delay " << 1 + d.Below(600);
    // The handheld's pace: rarely a stall past the watchdog, or one just short
    // of it (counted from the block's end, the watchdog from the request).
    if (d.Chance(20)) sim << " --next-delay " << d.Below(40);
    if (d.Chance(15)) sim << " --gap " << 1 + d.Below(blocks) << ":" << d.Below(500);
    bool bStall = d.Chance(2);
    if (bStall) sim << " --gap " << 1 + d.Below(blocks) << ":" << 30150 + d.Below(1500);
    bool bNearWatchdog = !bStall && d.Chance(1);
    if (bNearWatchdog) sim << " --gap " << 1 + d.Below(blocks) << ":" << 27000 + d.Below(2000);
    // A doubled request may put the tool a block ahead, which would make a
    // stall's ending a matter of timing: never both.
    uint32_t dup = d.Chance(15) ? 1 + d.Below(blocks) : 0;
    if (dup != 0 && !bStall) sim << " --dup " << dup;
    if (d.Chance(10)) sim << " --repeat-ready " << 1 + d.Below(blocks);
    if (d.Chance(10)) { // bytes never followed by 00, so never a reply; an odd count too
        sim << " --garbage " << d.Below(blocks + 1) << ":";
        for (uint32_t i = 0, n = 1 + d.Below(6); i < n; i++) {
            char szHex[3];
            snprintf(szHex, sizeof(szHex), "%02X", 0x21 + d.Below(0xD0));
            sim << szHex;
        }
    }
    // Driver faults: a write failed or cut short anywhere; the reader's first
    // requests failed; the plug pulled mid-block.
    uint32_t writes = 2 + blocks * PIECES, fault = d.Below(100);
    if (fault < 6) sim << " --fault write:" << d.Below(writes) << ":1";
    else if (fault < 11) sim << " --fault short:" << d.Below(writes) << ":1";
    else if (fault < 13) sim << " --fault arm:0:1";
    else if (fault < 15) sim << " --fault wait:0:1";
    bool bUnplug = d.Chance(6);
    if (bUnplug) sim << " --unplug-after " << d.Below(blocks) * BLOCK + 1 + d.Below(PIECE * (PIECES - 1));
    // The link as USB stacks deliver it: replies split over reads or glued to
    // the next, a driver that takes tens of milliseconds a request (a device
    // passed through to a virtual machine), rarely one that holds a request of
    // the port's set-up past its deadline, and a handheld that stops taking a
    // block's bytes for a while, or past the watchdog.  A stall is never
    // drawn with what would decide the run in the same block.
    if (d.Chance(12)) sim << " --split " << 1 + d.Below(2) << ":" << 1 + d.Below(30);
    if (d.Chance(8)) sim << " --slow " << 10 + d.Below(50);
    else if (d.Chance(1)) sim << " --arm-delay " << PORT_MS + MARGIN_MS + d.Below(3000);
    if (d.Chance(5) && fault >= 11 && dup == 0 && !bStall && !bUnplug && !bNearWatchdog)
        sim << " --stall-after " << d.Below(blocks) * BLOCK + 1 + d.Below(PIECE * (PIECES - 1)) << ":"
            << (d.Chance(50) ? WATCHDOG_MS + MARGIN_MS + d.Below(1500) : d.Below(3000));
    s.sim = sim.str().empty() ? "" : sim.str().substr(1);
    return s;
}

std::string SeedReplay(uint32_t seed)
{
    Schedule s = DrawSchedule(seed);
    return "seed " + std::to_string(seed) + " (image " + std::to_string(s.size) + ", qlsim " + s.sim +
           "); replay: QL_SEED_FROM=" + std::to_string(seed) + " QL_SEED_COUNT=1 bash rig/run-tests.sh";
}
