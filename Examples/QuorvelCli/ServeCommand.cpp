#include "ServeCommand.h"

#include "CliConnection.h"
#include "FrameDecoder.h"
#include "ItemMap.h"

#include <Quorvel.h>

#include <optional>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

// How often the sample map's live values move on.
constexpr auto SampleTick = std::chrono::milliseconds(250);

// The server's events answered from the map, the way the demo answers them:
// an item that is not in the map, or not writeable, is refused with exception
// 02; a holding register value outside the item's range with exception 03.
class TMapServer {
public:
    TMapServer(TModbusConnection& Connection, TModbusServer& Server, TItemMap& Map, TTransmissionMode Mode)
        : FMap(Map), FMode(Mode), FAddress(Server.Address()) {
        Server.OnAcceptCommand = [](TComponent*, std::uint8_t Command, bool& Accept) {
            Accept = (Command >= 0x01 && Command <= 0x06) || Command == 0x0F || Command == 0x10;
        };
        Server.OnCanReadCoil = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = CanRead(ikCoil, A);
        };
        Server.OnCanReadDiscreteInput = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = CanRead(ikDiscreteInput, A);
        };
        Server.OnCanReadHoldingRegister = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = CanRead(ikHoldingRegister, A);
        };
        Server.OnCanReadInputRegister = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = CanRead(ikInputRegister, A);
        };
        Server.OnCanWriteCoil = [this](TComponent*, std::uint16_t A, bool, TItemWriteStatus& Status) {
            const TServerItem* Item = FMap.Find(ikCoil, A);
            Status = Item != nullptr && Item->Writeable ? iwsAllowWrite : iwsIllegalAddress;
            if (Status != iwsAllowWrite)
                Note("refused: no writeable coil at address " + std::to_string(A));
        };
        Server.OnCanWriteHoldingRegister = [this](TComponent*, std::uint16_t A, std::uint16_t V,
                                                  TItemWriteStatus& Status) {
            const TServerItem* Item = FMap.Find(ikHoldingRegister, A);
            if (Item == nullptr || !Item->Writeable) {
                Status = iwsIllegalAddress;
                Note("refused: no writeable holding register at address " + std::to_string(A));
            } else if (V < Item->MinValue || V > Item->MaxValue) {
                Status = iwsIllegalValue;
                Note("refused: illegal value (" + std::to_string(V) + ") for holding register at address " +
                     std::to_string(A) + " (range " + std::to_string(Item->MinValue) + ".." +
                     std::to_string(Item->MaxValue) + ")");
            } else {
                Status = iwsAllowWrite;
            }
        };
        Server.OnGetCoilValue = [this](TComponent*, std::uint16_t A, bool& V) { V = Value(ikCoil, A) != 0; };
        Server.OnGetDiscreteInputValue = [this](TComponent*, std::uint16_t A, bool& V) {
            V = Value(ikDiscreteInput, A) != 0;
        };
        Server.OnGetHoldingRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = Value(ikHoldingRegister, A);
        };
        Server.OnGetInputRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = Value(ikInputRegister, A);
        };
        Server.OnSetCoilValue = [this](TComponent*, std::uint16_t A, bool V) {
            if (TServerItem* Item = FMap.Find(ikCoil, A)) {
                Item->Value = V ? 1 : 0;
                Note("set coil " + std::to_string(A) + " = " + (V ? "on" : "off"));
            }
        };
        Server.OnSetHoldingRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t V) {
            if (TServerItem* Item = FMap.Find(ikHoldingRegister, A)) {
                Item->Value = V;
                Note("set holding register " + std::to_string(A) + " = " + std::to_string(V));
            }
        };
        // The worker hands each frame over before the query is processed, and
        // the reply after, so the log reads in line order.
        Connection.OnFrameReceive = [this](TComponent*, const TFrameData& Data) { Received(Data); };
        Connection.OnFrameSend = [this](TComponent*, const TFrameData& Data) { Sent(Data); };
        Connection.OnInvalidFrameDiscard = [this](TComponent*) {
            Note("discarded: damaged frame, no reply");
        };
    }

private:
    bool CanRead(TItemKind Kind, std::uint16_t Addr) {
        if (FMap.Find(Kind, Addr) != nullptr)
            return true;
        Note(std::string("refused: no ") + KindWord(Kind) + " at address " + std::to_string(Addr));
        return false;
    }

    std::uint16_t Value(TItemKind Kind, std::uint16_t Addr) {
        const TServerItem* Item = FMap.Find(Kind, Addr);
        return Item != nullptr ? Item->Value : 0;
    }

    void Note(const std::string& Text) { PrintLine(TimeStamp() + "   " + Text); }

    void Received(const TBytes& Line) {
        const TDecodedLine D = DecodeLine(Line, FMode);
        FLastRequest.reset();
        if (!D.Good) {
            PrintLine(TimeStamp() + " < " + LineText(Line, FMode) + "  bad check");
            return;
        }
        PrintLine(TimeStamp() + " < " + LineText(Line, FMode) + "  " + Summarize(D.Frame, frRequest));
        if (D.Frame.size() >= 2) {
            FLastRequest.emplace(D.Frame.begin() + 1, D.Frame.end());
            if (D.Frame[0] != FAddress && D.Frame[0] != 0)
                Note("not for unit " + std::to_string(FAddress) + ": no reply");
        }
    }

    void Sent(const TBytes& Line) {
        const TDecodedLine D = DecodeLine(Line, FMode);
        const bool Exception = D.Frame.size() >= 2 && (D.Frame[1] & 0x80) != 0;
        PrintLine(
            TimeStamp() + " > " + LineText(Line, FMode) + "  " +
            Summarize(D.Frame, Exception ? frException : frReply, FLastRequest ? &*FLastRequest : nullptr));
    }

    TItemMap& FMap;
    TTransmissionMode FMode;
    std::uint8_t FAddress;
    std::optional<TBytes> FLastRequest;
};

} // namespace

int RunServeCommand(const TCommandLine& Line) {
    const TOptions& O = Line.Options;
    CheckOptionGroups(Line, ogLine | ogConnection | ogServe);
    CheckArgCount(Line, 0, 0);
    if (O.Sample == !O.ItemsFile.empty())
        throw EUsageError("serve needs either --items FILE or --sample");
    if (O.Address == 0)
        throw EUsageError("a server's address is 1..247");

    TItemMap Map;
    if (O.Sample) {
        Map = SampleItemMap();
    } else {
        try {
            TItemMapFile File = LoadItemMap(O.ItemsFile);
            for (const std::string& N : File.Notes)
                PrintError(O.ItemsFile + ": " + N);
            Map = std::move(File.Map);
        } catch (const std::runtime_error& E) {
            throw EOpenError(E.what());
        }
    }

    TModbusConnection Connection;
    TModbusServer Server;
    ConfigureConnection(Connection, O, cmServer);
    Server.SetAddress(O.Address);
    Server.SetConnection(&Connection);
    TMapServer Answers(Connection, Server, Map, O.Mode);
    OpenConnection(Connection, O);
    PrintError("serving unit " + std::to_string(O.Address) + " on " + LineDescription(O) + " from " +
               (O.Sample ? std::string("the sample map (live values)") : "'" + O.ItemsFile + "'") + ", " +
               std::to_string(Map.Items().size()) + " items; stop with Ctrl-C");

    const auto Start = TClock::now();
    while (!StopRequested()) {
        PumpUntil([] { return false; }, TClock::now() + SampleTick);
        if (O.Sample)
            UpdateSampleItems(Map, std::chrono::duration<double>(TClock::now() - Start).count());
    }
    Connection.Close();
    return esOk;
}

} // namespace QuorvelCli
