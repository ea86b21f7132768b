#include "ItemsCommand.h"

#include "CliConnection.h"
#include "ItemMap.h"

#include <cstdio>
#include <sys/stat.h>

namespace QuorvelCli {

namespace {

const char* KindTitle(TItemKind Kind) {
    switch (Kind) {
    case ikCoil:
        return "Coil";
    case ikDiscreteInput:
        return "Discrete Input";
    case ikHoldingRegister:
        return "Holding Register";
    default:
        return "Input Register";
    }
}

TItemKind Kind(const std::string& Name) {
    const auto K = ParseKind(Name);
    if (!K)
        throw EUsageError("bad item kind '" + Name +
                          "' (one of: coil, discrete-input, holding-register, input-register)");
    return *K;
}

bool Exists(const std::string& Path) {
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0;
}

} // namespace

std::vector<std::string> ItemTable(const TItemMap& Map) {
    std::vector<std::string> Lines;
    char Line[128];
    std::snprintf(Line, sizeof Line, "%5s  %-16s  %5s  %5s  %5s  %s", "Addr", "Kind", "Value", "Min", "Max",
                  "Status");
    Lines.push_back(Line);
    for (const TServerItem& I : Map.Items()) {
        const bool Bit = I.Kind == ikCoil || I.Kind == ikDiscreteInput;
        const bool CanWrite = (I.Kind == ikCoil || I.Kind == ikHoldingRegister) && I.Writeable;
        const std::string Value = Bit ? (I.Value != 0 ? "On" : "Off") : std::to_string(I.Value);
        const std::string Min = Bit ? "N/A" : std::to_string(I.MinValue);
        const std::string Max = Bit ? "N/A" : std::to_string(I.MaxValue);
        std::snprintf(Line, sizeof Line, "%5u  %-16s  %5s  %5s  %5s  %s", unsigned{I.Addr}, KindTitle(I.Kind),
                      Value.c_str(), Min.c_str(), Max.c_str(), CanWrite ? "Read/Write" : "Read-Only");
        Lines.push_back(Line);
    }
    return Lines;
}

int RunItemsCommand(const TCommandLine& Line) {
    CheckOptionGroups(Line, ogItems);
    CheckArgCount(Line, 1, -1);
    const std::string& Path = Line.Args[0];
    const std::string Action = Line.Args.size() > 1 ? Line.Args[1] : "list";
    const TOptions& O = Line.Options;
    auto Load = [&] {
        TItemMapFile File;
        try {
            File = LoadItemMap(Path);
        } catch (const std::runtime_error& E) {
            throw EOpenError(E.what());
        }
        for (const std::string& Note : File.Notes)
            PrintError(Path + ": " + Note);
        return File.Map;
    };
    if (Action == "list") {
        CheckArgCount(Line, 1, 2);
        for (const std::string& L : ItemTable(Load()))
            PrintLine(L);
        return esOk;
    }
    if (Action == "sample") {
        CheckArgCount(Line, 2, 2);
        SaveItemMap(Path, SampleItemMap());
        return esOk;
    }
    if (Action == "add") {
        CheckArgCount(Line, 4, 5);
        TServerItem Item;
        Item.Kind = Kind(Line.Args[2]);
        Item.Addr = static_cast<std::uint16_t>(ParseUnsigned(Line.Args[3], "item address", 0, 0xFFFF));
        const bool Bit = Item.Kind == ikCoil || Item.Kind == ikDiscreteInput;
        Item.Value =
            Line.Args.size() > 4
                ? static_cast<std::uint16_t>(ParseUnsigned(Line.Args[4], "value", 0, Bit ? 1 : 0xFFFF))
                : 0;
        Item.MinValue = O.MinValue;
        Item.MaxValue = O.MaxValue;
        Item.Writeable = !O.ReadOnly;
        if (Item.Kind == ikHoldingRegister && (Item.MinValue > Item.Value || Item.Value > Item.MaxValue))
            throw EUsageError("the value must lie between --min and --max");
        TItemMap Map = Exists(Path) ? Load() : TItemMap{};
        Map.Put(Item);
        SaveItemMap(Path, Map);
        return esOk;
    }
    if (Action == "remove") {
        CheckArgCount(Line, 4, 4);
        const TItemKind K = Kind(Line.Args[2]);
        const auto Addr = static_cast<std::uint16_t>(ParseUnsigned(Line.Args[3], "item address", 0, 0xFFFF));
        TItemMap Map = Load();
        if (!Map.Remove(K, Addr)) {
            PrintError(std::string("no ") + KindWord(K) + " at address " + std::to_string(Addr) + " in " +
                       Path);
            return esFailed;
        }
        SaveItemMap(Path, Map);
        return esOk;
    }
    throw EUsageError("unknown items action '" + Action + "' (list, add, remove or sample)");
}

} // namespace QuorvelCli
