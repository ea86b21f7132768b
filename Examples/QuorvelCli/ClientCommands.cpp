#include "ClientCommands.h"

#include "CliConnection.h"
#include "FrameDecoder.h"
#include "Json.h"

#include <Quorvel.h>

#include <cctype>
#include <functional>
#include <memory>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

const std::vector<TClientCommandInfo> CommandTable = {
    {"read-coils", "START [COUNT]", "read coils (function 01)", "Reads COUNT coils (default 1) from START."},
    {"read-discrete-inputs", "START [COUNT]", "read discrete inputs (02)",
     "Reads COUNT discrete inputs (default 1) from START."},
    {"read-holding-registers", "START [COUNT]", "read holding registers (03)",
     "Reads COUNT values (default 1) of --format from START: a 32-bit format reads two registers per value."},
    {"read-input-registers", "START [COUNT]", "read input registers (04)",
     "Reads COUNT values (default 1) of --format from START: a 32-bit format reads two registers per value."},
    {"write-coil", "ADDR VALUE", "write a single coil (05)", "VALUE is 0, 1, on or off."},
    {"write-register", "ADDR VALUE", "write a single register (06)",
     "VALUE is a 16-bit value: decimal (negative down to -32768), 0x hex or 0b binary."},
    {"write-coils", "START VALUE...", "write multiple coils (0F)",
     "Each VALUE is 0, 1, on, off, a comma-separated list of them, or a string of 0 and 1 (\"1101\")."},
    {"write-registers", "START VALUE...", "write multiple registers (10)",
     "Each VALUE (or comma-separated list) is typed in --format; a 32-bit value fills two registers in "
     "--word-order."},
    {"mask-write-register", "ADDR AND OR", "mask write register (16)",
     "The server stores (value AND AND) OR (OR AND NOT AND)."},
    {"read-write-registers", "READ_START READ_COUNT WRITE_START VALUE...",
     "read/write multiple registers (17)",
     "Writes the VALUEs (as write-registers) from WRITE_START, then reads READ_COUNT values of --format from "
     "READ_START; the server does the write first."},
    {"diagnostics", "ACTION", "diagnostics (08)",
     "ACTION is one of the names below or a sub-function code. 'diag' is short for it."},
    {"read-exception-status", "", "read exception status (07)",
     "Shows the server's eight exception status bits."},
    {"report-server-id", "", "report server ID (11 hex)", "Shows the server's identification bytes."},
    {"read-file-record", "FILE:RECORD:LENGTH...", "read file record (14 hex)",
     "Reads LENGTH registers from record RECORD (0..9999) of file FILE, for each run given."},
    {"write-file-record", "FILE:RECORD:VALUE[,VALUE...]...", "write file record (15 hex)",
     "Writes the VALUEs (typed in --format) from record RECORD of file FILE, for each run given."},
    {"custom", "FUNCTION [HEXDATA...]", "any function code with raw data",
     "Sends FUNCTION (1..255) with HEXDATA (hex digits; spaces, colons and commas between bytes are "
     "ignored) and shows the reply's data. Even a request to address 0 waits for a reply. --promiscuous "
     "takes "
     "the first valid frame from any unit as the reply."},
};

const std::vector<TDiagnosticName> DiagnosticTable = {
    {"return-query-data", daReturnQueryData, "00: the server echoes a test word"},
    {"restart-comms", daRestartCommsOption, "01: restart the communications option"},
    {"restart-comms-clear-log", daRestartCommsOptionAndClearEventLog,
     "01 with FF00: restart and clear the log"},
    {"diagnostic-register", daReturnDiagnosticRegister, "02: return the diagnostic register"},
    {"listen-only", daForceListenOnlyMode, "04: force listen only mode (no reply is expected)"},
    {"clear-counters", daClearCountersAndDiagnosticRegister, "0A: clear counters and diagnostic register"},
    {"bus-message-count", daReturnBusMessageCount, "0B: return bus message count"},
    {"bus-comm-error-count", daReturnBusCommErrorCount, "0C: return bus communication error count"},
    {"bus-exception-count", daReturnBusExceptionErrorCount, "0D: return bus exception error count"},
    {"server-message-count", daReturnServerMessageCount, "0E: return server message count"},
    {"server-no-reply-count", daReturnServerNoReplyCount, "0F: return server no response count"},
    {"server-nak-count", daReturnServerNegativeAcknowledgeCount, "10: return server NAK count"},
    {"server-busy-count", daReturnServerBusyCount, "11: return server busy count"},
    {"bus-overrun-count", daReturnBusCharacterOverrunCount, "12: return bus character overrun count"},
    {"clear-overrun", daClearOverrunCounterAndFlag, "14: clear overrun counter and flag"},
};

const char* DiagnosticActionName(TDiagnosticAction Action) {
    for (const auto& D : DiagnosticTable) {
        if (D.Action == Action)
            return D.Name;
    }
    return "?";
}

// The outcome of one request as it is collected from the client's events.
struct TResult {
    std::uint32_t ID = 0;
    bool Done = false;
    bool Sent = false; // the query's frame went out (what a broadcast waits for)
    TTransactionInfo Info;
    std::vector<std::string> Text;               // the normal reply, for people
    TJsonObject Json;                            // the normal reply, for scripts
    std::vector<std::pair<bool, TBytes>> Frames; // (sent, line bytes)
};

// One parsed request: how to issue it, and what it needs.
struct TRequest {
    std::function<std::uint32_t(TModbusClient&)> Issue;
    bool ReadsSomething = true;   // refused as a broadcast
    bool NoReplyExpected = false; // force listen only mode: silence is the answer
};

std::uint16_t Arg16(const TCommandLine& L, std::size_t I, const char* What) {
    return static_cast<std::uint16_t>(ParseUnsigned(L.Args[I], What, 0, 0xFFFF));
}

std::vector<std::string> ArgsFrom(const TCommandLine& L, std::size_t First) {
    return {L.Args.begin() + static_cast<std::ptrdiff_t>(First), L.Args.end()};
}

TByteString ParseHexData(const std::vector<std::string>& Args) {
    std::string Digits;
    for (const std::string& A : Args) {
        for (const char C : A) {
            if (C == ' ' || C == ':' || C == ',')
                continue;
            if (std::isxdigit(static_cast<unsigned char>(C)) == 0)
                throw EUsageError("bad hex data '" + A + "'");
            Digits += C;
        }
    }
    if (Digits.size() % 2 != 0)
        throw EUsageError("hex data needs an even number of digits");
    TByteString Data;
    for (std::size_t I = 0; I < Digits.size(); I += 2)
        Data.push_back(static_cast<std::uint8_t>(std::stoul(Digits.substr(I, 2), nullptr, 16)));
    return Data;
}

// FILE:RECORD:REST, REST being a length or a value list.
struct TFileRun {
    std::uint16_t File;
    std::uint16_t Record;
    std::string Rest;
};
TFileRun ParseFileRun(const std::string& Text) {
    const auto Parts = Split(Text, ':');
    if (Parts.size() != 3)
        throw EUsageError("bad file record run '" + Text + "' (FILE:RECORD:...)");
    return {static_cast<std::uint16_t>(ParseUnsigned(Parts[0], "file number", 0, 0xFFFF)),
            static_cast<std::uint16_t>(ParseUnsigned(Parts[1], "record number", 0, 9999)), Parts[2]};
}

// Adds a run to List, turning the library's refusal into a usage error.
template <typename F>
void AddRun(F&& Add) {
    try {
        Add();
    } catch (const EQuorvelError& E) {
        throw EUsageError(std::string("bad file record run: ") + E.what());
    }
}

TRequest BuildRequest(const TCommandLine& L) {
    const std::string& C = L.Command;
    const TOptions& O = L.Options;
    const auto PerValue = static_cast<std::uint32_t>(RegistersPerValue(O.Format));
    TRequest R;
    auto ReadRun = [&](std::uint64_t Max, std::uint32_t Scale) {
        CheckArgCount(L, 1, 2);
        const std::uint16_t Start = Arg16(L, 0, "start address");
        const auto Count = L.Args.size() > 1 ? ParseUnsigned(L.Args[1], "count", 1, Max) : 1;
        return std::pair<std::uint16_t, std::uint16_t>(Start, static_cast<std::uint16_t>(Count * Scale));
    };
    if (C == "read-coils" || C == "read-discrete-inputs") {
        const auto [Start, Count] = ReadRun(0xFFFF, 1);
        const bool Coils = C == "read-coils";
        R.Issue = [=](TModbusClient& M) {
            return Coils ? M.ReadCoils(Start, Count, nullptr) : M.ReadDiscreteInputs(Start, Count, nullptr);
        };
    } else if (C == "read-holding-registers" || C == "read-input-registers") {
        const auto [Start, Count] = ReadRun(0xFFFF / PerValue, PerValue);
        const bool Holding = C == "read-holding-registers";
        R.Issue = [=](TModbusClient& M) {
            return Holding ? M.ReadHoldingRegisters(Start, Count, nullptr)
                           : M.ReadInputRegisters(Start, Count, nullptr);
        };
    } else if (C == "write-coil") {
        CheckArgCount(L, 2, 2);
        const std::uint16_t Addr = Arg16(L, 0, "coil address");
        const TBitValues V = ParseBitValues({L.Args[1]});
        if (V.size() != 1)
            throw EUsageError("write-coil takes one value");
        const bool Value = V[0];
        R.ReadsSomething = false;
        R.Issue = [=](TModbusClient& M) { return M.WriteSingleCoil(Addr, Value, nullptr); };
    } else if (C == "write-register") {
        CheckArgCount(L, 2, 2);
        const std::uint16_t Addr = Arg16(L, 0, "register address");
        const TRegValues V = ParseRegisterValues({L.Args[1]}, O.Format, O.Order);
        if (V.size() != 1)
            throw EUsageError("write-register takes one 16-bit value (use write-registers for 32-bit ones)");
        const std::uint16_t Value = V[0];
        R.ReadsSomething = false;
        R.Issue = [=](TModbusClient& M) { return M.WriteSingleRegister(Addr, Value, nullptr); };
    } else if (C == "write-coils") {
        CheckArgCount(L, 2, -1);
        const std::uint16_t Start = Arg16(L, 0, "start address");
        const TBitValues V = ParseBitValues(ArgsFrom(L, 1));
        R.ReadsSomething = false;
        R.Issue = [=](TModbusClient& M) { return M.WriteMultipleCoils(Start, V, nullptr); };
    } else if (C == "write-registers") {
        CheckArgCount(L, 2, -1);
        const std::uint16_t Start = Arg16(L, 0, "start address");
        const TRegValues V = ParseRegisterValues(ArgsFrom(L, 1), O.Format, O.Order);
        R.ReadsSomething = false;
        R.Issue = [=](TModbusClient& M) { return M.WriteMultipleRegisters(Start, V, nullptr); };
    } else if (C == "mask-write-register") {
        CheckArgCount(L, 3, 3);
        const std::uint16_t Addr = Arg16(L, 0, "register address");
        const TRegValues Masks =
            ParseRegisterValues({L.Args[1], L.Args[2]}, PerValue == 1 ? O.Format : vfUnsigned, O.Order);
        if (Masks.size() != 2)
            throw EUsageError("mask-write-register takes one AND mask and one OR mask");
        R.ReadsSomething = false;
        R.Issue = [=](TModbusClient& M) {
            return M.MaskWriteSingleRegister(Addr, Masks[0], Masks[1], nullptr);
        };
    } else if (C == "read-write-registers") {
        CheckArgCount(L, 4, -1);
        const std::uint16_t ReadStart = Arg16(L, 0, "read start address");
        const auto ReadCount = static_cast<std::uint16_t>(
            ParseUnsigned(L.Args[1], "read count", 1, 0xFFFF / PerValue) * PerValue);
        const std::uint16_t WriteStart = Arg16(L, 2, "write start address");
        const TRegValues V = ParseRegisterValues(ArgsFrom(L, 3), O.Format, O.Order);
        R.Issue = [=](TModbusClient& M) {
            return M.ReadWriteMultipleRegisters(ReadStart, ReadCount, WriteStart, V, nullptr);
        };
    } else if (C == "diagnostics" || C == "diag") {
        CheckArgCount(L, 1, 1);
        TDiagnosticAction Action = daReturnQueryData;
        bool Found = false;
        for (const auto& D : DiagnosticTable) {
            if (L.Args[0] == D.Name) {
                Action = D.Action;
                Found = true;
            }
        }
        if (!Found) {
            if (std::isdigit(static_cast<unsigned char>(L.Args[0][0])) == 0)
                throw EUsageError("unknown diagnostics action '" + L.Args[0] +
                                  "' (see quorvel help diagnostics)");
            const auto Code = static_cast<std::uint16_t>(ParseUnsigned(L.Args[0], "sub-function", 0, 0xFFFF));
            try {
                Action = DiagnosticCodeToAction(Code);
            } catch (const EQuorvelError& E) {
                throw EUsageError("sub-function " + L.Args[0] + ": " + E.what());
            }
        }
        R.ReadsSomething = false;
        R.NoReplyExpected = Action == daForceListenOnlyMode;
        R.Issue = [=](TModbusClient& M) { return M.Diagnostics(Action, nullptr); };
    } else if (C == "read-exception-status") {
        CheckArgCount(L, 0, 0);
        R.Issue = [](TModbusClient& M) { return M.ReadExceptionStatus(nullptr); };
    } else if (C == "report-server-id") {
        CheckArgCount(L, 0, 0);
        R.Issue = [](TModbusClient& M) { return M.ReportServerID(nullptr); };
    } else if (C == "read-file-record" || C == "write-file-record") {
        CheckArgCount(L, 1, -1);
        const bool Read = C == "read-file-record";
        auto List = std::make_shared<TModbusFileRecordList>();
        for (const std::string& A : L.Args) {
            const TFileRun Run = ParseFileRun(A);
            if (Read) {
                const auto Length =
                    static_cast<std::int32_t>(ParseUnsigned(Run.Rest, "record length", 1, 10000));
                AddRun([&] { List->Add(Run.File, Run.Record, Length); });
            } else {
                const TRegValues V = ParseRegisterValues({Run.Rest}, O.Format, O.Order);
                AddRun([&] { List->Add(Run.File, Run.Record, V); });
            }
        }
        R.ReadsSomething = Read;
        R.Issue = [=](TModbusClient& M) {
            return Read ? M.ReadFileRecord(*List, nullptr) : M.WriteFileRecord(*List, nullptr);
        };
    } else if (C == "custom") {
        CheckArgCount(L, 1, -1);
        const auto Function = static_cast<std::uint8_t>(ParseUnsigned(L.Args[0], "function code", 1, 255));
        const TByteString Data = ParseHexData(ArgsFrom(L, 1));
        const bool Promiscuous = O.Promiscuous;
        R.ReadsSomething = false; // the library awaits a custom transaction even to unit 0
        R.Issue = [=](TModbusClient& M) {
            return M.InitCustomTransaction(Function, Data, Promiscuous, nullptr);
        };
    } else {
        throw EUsageError("unknown command '" + C + "'");
    }
    return R;
}

std::string JsonNumbers(const TBitValues& Bits) {
    std::vector<std::string> Items;
    for (const bool B : Bits)
        Items.push_back(B ? "1" : "0");
    return JsonArray(Items);
}

std::string JsonNumbers(const TRegValues& Regs) {
    std::vector<std::string> Items;
    for (const auto R : Regs)
        Items.push_back(std::to_string(R));
    return JsonArray(Items);
}

// The client's events, writing into the result of the request on the line.
class TResultCollector {
public:
    TResultCollector(TModbusConnection& Connection, TModbusClient& Client, const TOptions& Options)
        : FOptions(Options) {
        Connection.OnFrameSend = [this](TComponent*, const TFrameData& Data) {
            FCurrent.Sent = true;
            FCurrent.Frames.emplace_back(true, Data);
        };
        Connection.OnFrameReceive = [this](TComponent*, const TFrameData& Data) {
            FCurrent.Frames.emplace_back(false, Data);
        };
        Client.OnTransactionProcessed = [this](TComponent*, const TTransactionInfo& Info, std::uint8_t,
                                               bool) {
            if (Info.ID == FCurrent.ID) {
                FCurrent.Info = Info;
                FCurrent.Done = true;
            }
        };
        Client.OnConsecutiveTimeoutLimitExceed = [this](TComponent*) { FLimitExceeded = true; };
        Client.OnCoilsRead = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Start,
                                    std::uint16_t, const TBitValues& V) { Bits(I, Start, V); };
        Client.OnDiscreteInputsRead = Client.OnCoilsRead;
        Client.OnHoldingRegistersRead = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Start,
                                               std::uint16_t,
                                               const TRegValues& V) { Registers(I, Start, V, ""); };
        Client.OnInputRegistersRead = Client.OnHoldingRegistersRead;
        Client.OnSingleCoilWrite = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Addr,
                                          bool V) {
            if (!Normal(I))
                return;
            Text("wrote coil " + std::to_string(Addr) + " = " + (V ? "on" : "off"));
            FCurrent.Json.Number("coil", Addr).Number("value", V ? 1 : 0);
        };
        Client.OnSingleRegisterWrite = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Addr,
                                              std::uint16_t V) {
            if (!Normal(I))
                return;
            Text("wrote register " + std::to_string(Addr) + " = " + std::to_string(V));
            FCurrent.Json.Number("register", Addr).Number("value", V);
        };
        Client.OnMultipleCoilsWrite = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Start,
                                             std::uint16_t Count, const TBitValues&) {
            if (!Normal(I))
                return;
            Text("wrote " + std::to_string(Count) + " coils from " + std::to_string(Start));
            FCurrent.Json.Number("start", Start).Number("count", Count);
        };
        Client.OnMultipleRegistersWrite = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Start,
                                                 std::uint16_t Count, const TRegValues&) {
            if (!Normal(I))
                return;
            Text("wrote " + std::to_string(Count) + " registers from " + std::to_string(Start));
            FCurrent.Json.Number("start", Start).Number("count", Count);
        };
        Client.OnSingleRegisterMaskWrite = [this](TComponent*, const TTransactionInfo& I, std::uint16_t Addr,
                                                  std::uint16_t And, std::uint16_t Or) {
            if (!Normal(I))
                return;
            Text("wrote register " + std::to_string(Addr) + " by mask: and " + Hex(And) + " or " + Hex(Or));
            FCurrent.Json.Number("register", Addr).Number("and", And).Number("or", Or);
        };
        Client.OnMultipleRegistersReadWrite =
            [this](TComponent*, const TTransactionInfo& I, std::uint16_t Start, std::uint16_t,
                   const TRegValues& V, std::uint16_t WStart, std::uint16_t WCount, const TRegValues&) {
                if (!Normal(I))
                    return;
                FCurrent.Json.Number("write_start", WStart).Number("write_count", WCount);
                Registers(I, Start, V, "read_");
            };
        Client.OnDiagnostics = [this](TComponent*, const TTransactionInfo& I, TDiagnosticAction Action,
                                      std::uint16_t Result) {
            if (!Normal(I))
                return;
            const std::string Name = DiagnosticActionName(Action);
            FCurrent.Json.String("action", Name).Number("subfunction", DiagnosticActionCode(Action));
            // Actions that echo their request report nothing but the echo.
            const bool Counts =
                Action == daReturnDiagnosticRegister ||
                (Action >= daReturnBusMessageCount && Action <= daReturnBusCharacterOverrunCount);
            if (Counts) {
                Text(Name + ": " + std::to_string(Result));
                FCurrent.Json.Number("result", Result);
            } else {
                Text(Name + ": done");
            }
        };
        Client.OnExceptionStatusRead = [this](TComponent*, const TTransactionInfo& I,
                                              const TExceptionStatusValues& V) {
            if (!Normal(I))
                return;
            int Status = 0;
            std::string Bits;
            for (std::size_t B = 0; B < V.size(); ++B) {
                Status |= V[B] ? 1 << B : 0;
                Bits += std::string(B == 0 ? "" : " ") + (V[B] ? "1" : "0");
            }
            Text("exception status " + Hex(static_cast<std::uint16_t>(Status), 2) + " (bits 0..7: " + Bits +
                 ")");
            FCurrent.Json.Number("status", Status).Raw("bits", JsonNumbers(V));
        };
        Client.OnServerIdentificationReport = [this](TComponent*, const TTransactionInfo& I,
                                                     std::int32_t Count,
                                                     const TServerIdentificationData& Data) {
            if (!Normal(I))
                return;
            std::string Printable;
            for (const auto B : Data)
                Printable += B >= 0x20 && B < 0x7F ? static_cast<char>(B) : '.';
            Text("server id (" + std::to_string(Count) + " bytes): " + HexText(Data) + "  \"" + Printable +
                 "\"");
            FCurrent.Json.Number("byte_count", Count).String("data", HexText(Data));
        };
        Client.OnFileRecordRead = [this](TComponent*, const TTransactionInfo& I,
                                         TModbusFileRecordList& List) { FileRecords(I, List, true); };
        Client.OnFileRecordWrite = [this](TComponent*, const TTransactionInfo& I,
                                          TModbusFileRecordList& List) { FileRecords(I, List, false); };
        Client.OnCustomTransactionComplete = [this](TComponent*, const TTransactionInfo& I,
                                                    std::uint8_t Command, const TByteString&,
                                                    const TByteString& Response) {
            if (!Normal(I))
                return;
            Text("function " + Hex(Command, 2) + " reply from unit " + std::to_string(I.Address) + ": " +
                 (Response.empty() ? "no data" : HexText(Response)));
            FCurrent.Json.Number("function", Command)
                .Number("from", I.Address)
                .String("data", HexText(Response));
        };
    }

    TResult& Current() { return FCurrent; }
    bool LimitExceeded() const noexcept { return FLimitExceeded; }

private:
    static std::string Hex(std::uint16_t V, int Digits = 4) {
        char T[8];
        std::snprintf(T, sizeof T, "0x%0*X", Digits, V);
        return T;
    }

    static bool Normal(const TTransactionInfo& Info) { return Info.Reply == srNormalReply; }
    void Text(const std::string& Line) { FCurrent.Text.push_back(Line); }

    void Bits(const TTransactionInfo& I, std::uint16_t Start, const TBitValues& V) {
        if (!Normal(I))
            return;
        for (std::size_t K = 0; K < V.size(); ++K)
            Text(std::to_string(Start + K) + ": " + (V[K] ? "1" : "0"));
        FCurrent.Json.Number("start", Start).Number("count", static_cast<std::int64_t>(V.size()));
        FCurrent.Json.Raw("values", JsonNumbers(V));
    }

    void Registers(const TTransactionInfo& I, std::uint16_t Start, const TRegValues& V,
                   const std::string& Prefix) {
        if (!Normal(I))
            return;
        const auto Shown = ShowRegisters(V, FOptions.Format, FOptions.Order);
        const std::size_t Step = static_cast<std::size_t>(RegistersPerValue(FOptions.Format));
        std::vector<std::string> Json;
        for (std::size_t K = 0; K < Shown.size(); ++K) {
            Text(std::to_string(Start + K * Step) + ": " + Shown[K].Text);
            Json.push_back(Shown[K].Json);
        }
        FCurrent.Json.Number(Prefix + "start", Start)
            .Number(Prefix + "count", static_cast<std::int64_t>(V.size()));
        FCurrent.Json.Raw("registers", JsonNumbers(V)).String("format", ValueFormatName(FOptions.Format));
        if (Step == 2)
            FCurrent.Json.String("word_order", FOptions.Order == woHighFirst ? "high-first" : "low-first");
        FCurrent.Json.Raw("values", JsonArray(Json));
    }

    void FileRecords(const TTransactionInfo& I, TModbusFileRecordList& List, bool Read) {
        if (!Normal(I))
            return;
        std::vector<std::string> Json;
        for (std::int32_t K = 0; K < List.Count(); ++K) {
            const auto& R = List.Items(K);
            TRegValues V;
            for (std::int32_t J = 0; J < R.RegCount(); ++J)
                V.push_back(R.RegValues(J));
            const std::string Where =
                "file " + std::to_string(R.FileID()) + " record " + std::to_string(R.StartReg());
            std::string Values;
            for (const auto& S : ShowRegisters(V, vfUnsigned, woHighFirst))
                Values += " " + S.Text;
            Text(Read ? Where + ":" + Values
                      : "wrote " + Where + ": " + std::to_string(V.size()) + " registers");
            TJsonObject Run;
            Run.Number("file", R.FileID()).Number("record", R.StartReg()).Raw("values", JsonNumbers(V));
            Json.push_back(Run.Text());
        }
        FCurrent.Json.Raw("records", JsonArray(Json));
    }

    const TOptions& FOptions;
    TResult FCurrent;
    bool FLimitExceeded = false;
};

const char* StatusName(TServerReply Reply) {
    switch (Reply) {
    case srNormalReply:
        return "normal";
    case srExceptionReply:
        return "exception";
    case srUnmatchedReply:
        return "unmatched";
    case srInvalidFrame:
        return "invalid";
    default:
        return "timeout";
    }
}

std::string FailureText(const TTransactionInfo& I) {
    const std::string Unit = "unit " + std::to_string(I.Address);
    const std::string Tries = std::to_string(I.Retries) + (I.Retries == 1 ? " attempt" : " attempts");
    switch (I.Reply) {
    case srExceptionReply:
        return "exception reply from " + Unit + ": " + std::to_string(I.ExceptionCode) + " (" +
               ExceptionText(I.ExceptionCode) + ")";
    case srUnmatchedReply:
        return "unmatched reply from " + Unit + ": it does not answer the request";
    case srInvalidFrame:
        return "damaged reply from " + Unit + " (bad check or framing) after " + Tries;
    default:
        return "no reply from " + Unit + " (timeout after " + Tries + ")";
    }
}

std::string FrameSummary(bool Sent, const TBytes& Line, TTransmissionMode Mode) {
    const TDecodedLine D = DecodeLine(Line, Mode);
    if (!D.Good)
        return "bad check";
    if (Sent)
        return Summarize(D.Frame, frRequest);
    const bool Exception = D.Frame.size() >= 2 && (D.Frame[1] & 0x80) != 0;
    return Summarize(D.Frame, Exception ? frException : frReply);
}

} // namespace

const std::vector<TClientCommandInfo>& ClientCommands() {
    return CommandTable;
}

bool IsClientCommand(const std::string& Name) {
    if (Name == "diag")
        return true;
    for (const auto& C : CommandTable) {
        if (Name == C.Name)
            return true;
    }
    return false;
}

const std::vector<TDiagnosticName>& DiagnosticNames() {
    return DiagnosticTable;
}

int RunClientCommand(const TCommandLine& Line) {
    const TOptions& O = Line.Options;
    CheckOptionGroups(Line, ogLine | ogConnection | ogClient | (Line.Command == "custom" ? ogCustom : 0u));
    const TRequest Request = BuildRequest(Line);
    const std::uint8_t Address = O.Broadcast ? 0 : O.Address;
    if (Address == 0 && Request.ReadsSomething)
        throw EUsageError("'" + Line.Command + "' reads from the server and cannot be broadcast");

    TModbusConnection Connection;
    TModbusClient Client;
    ConfigureConnection(Connection, O, cmClient);
    Client.SetConnection(&Connection);
    Client.SetServerAddress(Address);
    Client.SetMaxConsecutiveTimeouts(O.MaxTimeouts);
    TResultCollector Collector(Connection, Client, O);
    OpenConnection(Connection, O);

    // A broadcast has no completion event: it is done once its frame went out.
    const bool Broadcast = Address == 0 && Line.Command != "custom";
    int Status = esOk;
    int Completed = 0;
    bool Interrupted = false;
    auto NextStart = TClock::now();
    for (std::uint32_t Poll = 1; O.Count == 0 || Poll <= O.Count; ++Poll) {
        if (Poll > 1) {
            PumpUntil([] { return false; }, NextStart);
            if (StopRequested()) {
                Interrupted = true;
                break;
            }
        }
        NextStart = TClock::now() + std::chrono::milliseconds(O.Interval);
        TResult& R = Collector.Current();
        R = TResult{};
        try {
            R.ID = Request.Issue(Client);
        } catch (const EQuorvelError& E) {
            throw EUsageError(E.what());
        }
        if (!PumpUntil([&] { return Broadcast ? R.Sent : R.Done; })) {
            Interrupted = true;
            break;
        }
        ++Completed;
        const bool Good =
            Broadcast || R.Info.Reply == srNormalReply || (Request.NoReplyExpected && R.Info.Reply == srNone);
        if (!Good)
            Status = esFailed;

        const std::string StatusText = Broadcast ? "broadcast" : Good ? "normal" : StatusName(R.Info.Reply);
        if (O.Json) {
            TJsonObject J;
            J.String("command", Line.Command == "diag" ? "diagnostics" : Line.Command)
                .Number("address", Address)
                .String("time", IsoTimeStamp())
                .String("status", StatusText);
            if (!Broadcast)
                J.Number("attempts", R.Info.Retries);
            if (O.Count != 1)
                J.Number("poll", Poll);
            if (!Good) {
                J.String("error", FailureText(R.Info));
                if (R.Info.Reply == srExceptionReply)
                    J.Number("exception", R.Info.ExceptionCode)
                        .String("message", ExceptionText(R.Info.ExceptionCode));
            }
            std::string Fields = R.Json.Text();
            if (Fields.size() > 2)
                J.Raw("result", Fields);
            if (O.Frames) {
                std::vector<std::string> Frames;
                for (const auto& [Sent, Bytes] : R.Frames) {
                    TJsonObject F;
                    F.String("dir", Sent ? "sent" : "received")
                        .String("bytes", LineText(Bytes, O.Mode))
                        .String("summary", FrameSummary(Sent, Bytes, O.Mode));
                    Frames.push_back(F.Text());
                }
                J.Raw("frames", JsonArray(Frames));
            }
            PrintLine(J.Text());
        } else {
            if (O.Count != 1)
                PrintLine("-- poll " + std::to_string(Poll) + " at " + TimeStamp());
            if (O.Frames) {
                for (const auto& [Sent, Bytes] : R.Frames)
                    PrintLine(std::string(Sent ? "> " : "< ") + LineText(Bytes, O.Mode) + "  " +
                              FrameSummary(Sent, Bytes, O.Mode));
            }
            if (Broadcast)
                PrintLine("broadcast sent (no reply is given to a broadcast)");
            else if (Request.NoReplyExpected && R.Info.Reply == srNone)
                PrintLine("listen-only: sent (a server in listen only mode does not reply)");
            for (const std::string& T : R.Text)
                PrintLine(T);
        }
        if (!Good)
            PrintError(FailureText(R.Info));
        if (Collector.LimitExceeded()) {
            PrintError("more than " + std::to_string(O.MaxTimeouts) + " failed attempts in a row: stopping");
            Status = esFailed;
            break;
        }
    }
    // Closing waits for a broadcast still on the line (its turnaround delay).
    Connection.Close();
    if (Interrupted && Completed == 0) {
        PrintError("interrupted before a reply came");
        return esFailed;
    }
    return Status;
}

} // namespace QuorvelCli
