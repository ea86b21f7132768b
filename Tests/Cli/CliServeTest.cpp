// quorvel serve as a black box: answering Debian's pymodbus serial client (RTU
// and ASCII) and mbpoll (RTU) from an item map file, and the sample map's live
// values seen through quorvel pair.

#include "Cli/CliProcess.h"
#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using QuorvelTest::TCliProcess;
using QuorvelTest::TCliResult;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;
using TBytes = std::vector<std::uint8_t>;

// A record of the item map file: address, kind, value, min, max (16-bit fields
// low byte first), writeable.
TBytes Item(std::uint16_t Addr, std::uint8_t Kind, std::uint16_t Value, std::uint16_t Min, std::uint16_t Max,
            std::uint8_t Writeable) {
    auto Lo = [](std::uint16_t V) { return static_cast<std::uint8_t>(V & 0xFF); };
    auto Hi = [](std::uint16_t V) { return static_cast<std::uint8_t>(V >> 8); };
    return {Lo(Addr), Hi(Addr), Kind, Lo(Value), Hi(Value), Lo(Min), Hi(Min), Lo(Max), Hi(Max), Writeable};
}

// A scratch directory, removed with what is in it.
class TScratchDir {
public:
    TScratchDir() {
        const char* Dir = std::getenv("TMPDIR");
        std::string Template = std::string(Dir && *Dir ? Dir : "/tmp") + "/quorvel-cli-XXXXXX";
        if (mkdtemp(Template.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FPath = Template;
    }
    ~TScratchDir() {
        // Test teardown: what cannot be removed stays behind in /tmp.
        (void)std::system(("rm -rf '" + FPath + "'").c_str());
    }
    const std::string& Path() const noexcept { return FPath; }

private:
    std::string FPath;
};

// The map served: coils 0 (on) and 1 (off) writeable, coil 3 read-only;
// discrete inputs 0..3; holding registers 10 and 12 (any value) and 100
// (0..2000, the record 64 00 02 D2 04 00 00 D0 07 01), none at 11; input
// register 5. Then a damaged record (kind 7), skipped, and five stray bytes.
TBytes MapFile() {
    TBytes File;
    auto Add = [&](const TBytes& R) { File.insert(File.end(), R.begin(), R.end()); };
    Add(Item(100, 2, 1234, 0, 2000, 1));
    Add(Item(0, 0, 1, 0, 0xFFFF, 1));
    Add(Item(1, 0, 0, 0, 0xFFFF, 1));
    Add(Item(3, 0, 0, 0, 0xFFFF, 0));
    for (std::uint16_t I = 0; I < 4; ++I)
        Add(Item(I, 1, I == 1 ? 0 : 1, 0, 0xFFFF, 0));
    Add(Item(10, 2, 100, 0, 0xFFFF, 1));
    Add(Item(12, 2, 300, 0, 0xFFFF, 1));
    Add(Item(5, 3, 555, 0, 0xFFFF, 0));
    Add(Item(6, 7, 0, 0, 0, 1));
    Add({1, 2, 3, 4, 5});
    return File;
}

std::string ReadFile(const std::string& Path) {
    std::ifstream In(Path);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

class CliServe : public ::testing::Test {
protected:
    void StartServer(const char* Mode) {
        MapPath = Scratch.Path() + "/ServerItems.dat";
        const TBytes Bytes = MapFile();
        std::ofstream(MapPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
        Server = std::make_unique<TCliProcess>(
            std::vector<std::string>{QUORVEL_CLI, "serve", "--items", MapPath, "-p", Bridge.SlavePathA(),
                                     "-a", "17", "--parity", "none", "--mode", Mode});
        ASSERT_TRUE(Server->WaitForText("serving unit 17", true)) << Server->Err();
    }

    void TearDown() override {
        if (!Server)
            return;
        const TCliResult R = Server->Stop();
        EXPECT_EQ(R.Exit, 0) << R;
        EXPECT_FALSE(R.TimedOut) << R;
        if (HasFailure())
            std::cerr << "--- quorvel serve ---\n" << R << "--- end ---\n";
    }

    TScratchDir Scratch;
    std::string MapPath;
    TPtyBridge Bridge;
    std::unique_ptr<TCliProcess> Server;
};

class CliServePymodbus : public CliServe, public ::testing::WithParamInterface<const char*> {};

TEST_P(CliServePymodbus, AnswersFromTheItemMapAndRefusesTheRest) {
    StartServer(GetParam());
    // The damaged record and the stray bytes were reported at start.
    EXPECT_NE(Server->Err().find("record 12 skipped: kind 7 is not 0..3"), std::string::npos)
        << Server->Err();
    EXPECT_NE(Server->Err().find("the last 5 bytes are no whole record and are ignored"), std::string::npos);

    // pymodbus_client.py writes one JSON line per request; pymodbus 3.0.0 takes
    // the unit as unit= (the script does that) and gets no reply below a 1 s timeout.
    struct TStep {
        const char* Request;
        const char* Result;
    };
    const TStep Steps[] = {
        {"read_coils 17 0 2", R"({"bits":[1,0]})"},
        {"write_coil 17 1 1", R"({"address":1,"value":1})"},
        {"read_coils 17 0 2", R"({"bits":[1,1]})"},
        {"write_coil 17 3 1", R"({"exception":2})"},
        {"read_discrete_inputs 17 0 4", R"({"bits":[1,0,1,1]})"},
        {"read_holding_registers 17 10 3", R"({"exception":2})"},
        {"write_register 17 100 2500", R"({"exception":3})"},
        {"write_register 17 100 2000", R"({"address":100,"value":2000})"},
        {"write_registers 17 12 301", R"({"address":12,"count":1})"},
        {"read_holding_registers 17 100 1", R"({"registers":[2000]})"},
        {"read_holding_registers 17 12 1", R"({"registers":[301]})"},
        {"read_input_registers 17 5 1", R"({"registers":[555]})"},
        {"read_input_registers 17 6 1", R"({"exception":2})"},
        {"mask_write_register 17 10 0 0", R"({"exception":1})"},
    };
    const std::string Results = Scratch.Path() + "/results.txt";
    std::vector<std::string> Argv{QUORVEL_PYTHON, QUORVEL_PYMODBUS_CLIENT, GetParam(), Bridge.SlavePathB(),
                                  Results};
    std::string Expected;
    for (const TStep& S : Steps) {
        Argv.push_back(S.Request);
        Expected += std::string(S.Result) + "\n";
    }
    TPeerProcess Client(Argv);
    for (int I = 0; I < 3000 && Client.Running(); ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Client.Stop();
    EXPECT_TRUE(Client.EndedCleanly()) << Client.End() << "\n" << Client.StderrText();
    EXPECT_EQ(ReadFile(Results), Expected);

    // Each refusal is in the log, between its request and its exception reply.
    const std::string Log = Server->Out();
    for (const char* Line : {
             "refused: no writeable coil at address 3\n",
             "refused: no holding register at address 11\n",
             "refused: illegal value (2500) for holding register at address 100 (range 0..2000)\n",
             "refused: no input register at address 6\n",
             "set holding register 100 = 2000\n",
             "set coil 1 = on\n",
             "request unit 17: mask write register 10 and 0x0000 or 0x0000\n",
             "exception unit 17: mask write register: exception 1 (Illegal command)\n",
         })
        EXPECT_NE(Log.find(Line), std::string::npos) << Line << "\n" << Log;
    // Remote writes change the map in memory only, as in the demo.
    const TBytes Bytes = MapFile();
    EXPECT_EQ(ReadFile(MapPath), std::string(Bytes.begin(), Bytes.end()));
}

INSTANTIATE_TEST_SUITE_P(Modes, CliServePymodbus, ::testing::Values("rtu", "ascii"),
                         [](const auto& Info) { return std::string(Info.param); });

TCliResult Mbpoll(const std::string& Port, const std::vector<std::string>& Options,
                  const std::vector<std::string>& Values) {
    // -0: addresses are the wire addresses; -o: timeout in s. Values to write
    // follow the port; without values mbpoll reads (-1: once).
    std::vector<std::string> Argv{QUORVEL_MBPOLL, "-m", "rtu",  "-a", "17", "-b",
                                  "19200",        "-P", "none", "-0", "-o", "1"};
    Argv.insert(Argv.end(), Options.begin(), Options.end());
    if (Values.empty())
        Argv.push_back("-1");
    Argv.push_back(Port);
    Argv.insert(Argv.end(), Values.begin(), Values.end());
    return TCliProcess::Run(Argv);
}

TEST_F(CliServe, AnswersMbpoll) {
    StartServer("rtu");
    const std::string& Port = Bridge.SlavePathB();
    struct TCase {
        std::vector<std::string> Options;
        std::vector<std::string> Values;
        int Exit;
        std::string Shown; // in mbpoll's stdout, or for a failure its stderr
    };
    const TCase Cases[] = {
        {{"-t", "4", "-r", "10", "-c", "1"}, {}, 0, "[10]: \t100\n"},
        {{"-t", "4", "-r", "12"}, {"4242"}, 0, "Written 1 references."},
        {{"-t", "4", "-r", "12", "-c", "1"}, {}, 0, "[12]: \t4242\n"},
        {{"-t", "3", "-r", "5", "-c", "1"}, {}, 0, "[5]: \t555\n"},
        {{"-t", "1", "-r", "0", "-c", "4"}, {}, 0, "[0]: \t1\n[1]: \t0\n[2]: \t1\n[3]: \t1\n"},
        {{"-t", "0", "-r", "1"}, {"0"}, 0, "Written 1 references."},
        {{"-t", "0", "-r", "0", "-c", "2"}, {}, 0, "[0]: \t1\n[1]: \t0\n"},
        {{"-t", "4", "-r", "11", "-c", "1"}, {}, 1, "Illegal data address"},
        {{"-t", "4", "-r", "100"}, {"2001"}, 1, "Illegal data value"},
    };
    for (const TCase& C : Cases) {
        std::string Name;
        for (const auto& A : C.Options)
            Name += A + " ";
        for (const auto& A : C.Values)
            Name += A + " ";
        SCOPED_TRACE(Name);
        const TCliResult R = Mbpoll(Port, C.Options, C.Values);
        EXPECT_EQ(R.Exit, C.Exit) << R;
        EXPECT_NE((C.Exit == 0 ? R.Out : R.Err).find(C.Shown), std::string::npos) << R;
    }
}

// quorvel items writes the same records the demo does, in the demo's order.
TEST(CliItems, EditsAndListsAnItemMapFile) {
    TScratchDir Scratch;
    const std::string Path = Scratch.Path() + "/ServerItems.dat";
    auto Items = [&](std::vector<std::string> Args) {
        Args.insert(Args.begin(), {QUORVEL_CLI, "items", Path});
        return TCliProcess::Run(Args);
    };
    EXPECT_EQ(Items({"add", "holding-register", "100", "1234", "--min", "0", "--max", "2000"}).Exit, 0);
    EXPECT_EQ(ReadFile(Path), std::string("\x64\x00\x02\xD2\x04\x00\x00\xD0\x07\x01", 10));
    EXPECT_EQ(Items({"add", "coil", "7", "1", "--read-only"}).Exit, 0);
    EXPECT_EQ(Items({"add", "coil", "2"}).Exit, 0);
    const TCliResult List = Items({"list"});
    EXPECT_EQ(List.Exit, 0) << List;
    EXPECT_EQ(List.Out, " Addr  Kind              Value    Min    Max  Status\n"
                        "    2  Coil                Off    N/A    N/A  Read/Write\n"
                        "    7  Coil                 On    N/A    N/A  Read-Only\n"
                        "  100  Holding Register   1234      0   2000  Read/Write\n");
    EXPECT_EQ(Items({"remove", "coil", "7"}).Exit, 0);
    EXPECT_EQ(Items({"remove", "coil", "7"}).Exit, 1);
    EXPECT_EQ(ReadFile(Path).size(), 20u);
    const TCliResult Bad = Items({"add", "register", "1"});
    EXPECT_EQ(Bad.Exit, 2) << Bad;
    EXPECT_NE(Bad.Err.find("bad item kind 'register'"), std::string::npos) << Bad;
    EXPECT_EQ(Items({"add", "holding-register", "1", "3000", "--max", "2000"}).Exit, 2);
    EXPECT_EQ(TCliProcess::Run({QUORVEL_CLI, "items", Scratch.Path() + "/missing.dat"}).Exit, 2);
}

// The out-of-the-box set-up: a virtual pair with stable links, the sample map
// served on one end, and a client on the other sees its values change.
TEST(CliPair, SampleServerThroughPairShowsLiveValues) {
    TScratchDir Scratch;
    const std::string Links = Scratch.Path() + "/ports";
    TCliProcess Pair({QUORVEL_CLI, "pair", "--links", Links});
    ASSERT_TRUE(Pair.WaitForText("READY\n")) << Pair.Out() << Pair.Err();
    // Two port paths, one per line, then READY.
    std::istringstream Lines(Pair.Out());
    std::string A, B, Ready;
    std::getline(Lines, A);
    std::getline(Lines, B);
    std::getline(Lines, Ready);
    EXPECT_EQ(A.rfind("/dev/pts/", 0), 0u) << Pair.Out();
    EXPECT_EQ(B.rfind("/dev/pts/", 0), 0u) << Pair.Out();
    EXPECT_EQ(Ready, "READY");
    char Target[256] = {};
    ASSERT_GT(readlink((Links + "/a").c_str(), Target, sizeof Target - 1), 0);
    EXPECT_EQ(std::string(Target), A);

    TCliProcess Server({QUORVEL_CLI, "serve", "--sample", "-p", Links + "/a", "-a", "17"});
    ASSERT_TRUE(Server.WaitForText("serving unit 17", true)) << Server.Err();
    // Input register 0 counts seconds: two reads 1.2 s apart differ.
    const TCliResult Reads =
        TCliProcess::Run({QUORVEL_CLI, "read-input-registers", "0", "3", "-p", Links + "/b", "-a", "17",
                          "--count", "2", "--interval", "1200", "--json"});
    EXPECT_EQ(Reads.Exit, 0) << Reads;
    std::vector<int> Counter;
    for (std::size_t At = Reads.Out.find("\"registers\":["); At != std::string::npos;
         At = Reads.Out.find("\"registers\":[", At + 1))
        Counter.push_back(std::stoi(Reads.Out.substr(At + 13)));
    ASSERT_EQ(Counter.size(), 2u) << Reads;
    EXPECT_GT(Counter[1], Counter[0]) << Reads;
    // The sample's fixed items are there too.
    const TCliResult Fixed =
        TCliProcess::Run({QUORVEL_CLI, "read-holding-registers", "100", "-p", Links + "/b", "-a", "17"});
    EXPECT_EQ(Fixed.Out, "100: 1234\n") << Fixed;

    EXPECT_EQ(Server.Stop().Exit, 0);
    const TCliResult PairEnd = Pair.Stop();
    EXPECT_EQ(PairEnd.Exit, 0) << PairEnd;
    EXPECT_FALSE(PairEnd.TimedOut);
    struct stat St;
    EXPECT_NE(lstat((Links + "/a").c_str(), &St), 0) << "the links are removed at exit";
}

} // namespace
