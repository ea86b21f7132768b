#include "ItemMap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <numbers>
#include <stdexcept>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace QuorvelCli {

namespace {

bool Before(const TServerItem& A, const TServerItem& B) {
    return A.Kind != B.Kind ? A.Kind < B.Kind : A.Addr < B.Addr;
}

std::uint16_t Word(const std::uint8_t* P) {
    return static_cast<std::uint16_t>(P[0] | (P[1] << 8));
}

void PutWord(std::uint8_t* P, std::uint16_t V) {
    P[0] = static_cast<std::uint8_t>(V & 0xFF);
    P[1] = static_cast<std::uint8_t>(V >> 8);
}

[[noreturn]] void Fail(const std::string& What, const std::string& Path) {
    throw std::runtime_error(What + " '" + Path + "': " + std::strerror(errno));
}

// A descriptor that is closed on every way out.
class TFile {
public:
    TFile(const std::string& Path, int Flags) : FFd(::open(Path.c_str(), Flags | O_CLOEXEC, 0644)) {}
    ~TFile() {
        // Closing a file only read, or already fsynced, loses nothing.
        if (FFd >= 0)
            (void)::close(FFd);
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    int Fd() const noexcept { return FFd; }

private:
    int FFd;
};

// Takes the lock, waiting up to two seconds for a writer (or reader) to finish.
bool Lock(int Fd, int Operation) {
    for (int Try = 0; Try < 200; ++Try) {
        if (flock(Fd, Operation | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    errno = EWOULDBLOCK;
    return false;
}

} // namespace

void EncodeServerItem(const TServerItem& Item, std::uint8_t (&Record)[ServerItemSize]) {
    PutWord(Record, Item.Addr);
    Record[2] = Item.Kind;
    PutWord(Record + 3, Item.Value);
    PutWord(Record + 5, Item.MinValue);
    PutWord(Record + 7, Item.MaxValue);
    Record[9] = Item.Writeable ? 1 : 0;
}

std::optional<TServerItem> DecodeServerItem(const std::uint8_t (&Record)[ServerItemSize],
                                            std::string& Reason) {
    TServerItem Item;
    Item.Addr = Word(Record);
    if (Record[2] > ikInputRegister) {
        Reason = "kind " + std::to_string(Record[2]) + " is not 0..3";
        return std::nullopt;
    }
    Item.Kind = static_cast<TItemKind>(Record[2]);
    Item.Value = Word(Record + 3);
    Item.MinValue = Word(Record + 5);
    Item.MaxValue = Word(Record + 7);
    if (Record[9] > 1) {
        Reason = "writeable flag " + std::to_string(Record[9]) + " is not 0 or 1";
        return std::nullopt;
    }
    Item.Writeable = Record[9] == 1;
    if ((Item.Kind == ikCoil || Item.Kind == ikDiscreteInput) && Item.Value > 1) {
        Reason = std::string(KindWord(Item.Kind)) + " value " + std::to_string(Item.Value) + " is not 0 or 1";
        return std::nullopt;
    }
    return Item;
}

const char* KindWord(TItemKind Kind) noexcept {
    switch (Kind) {
    case ikCoil:
        return "coil";
    case ikDiscreteInput:
        return "discrete input";
    case ikHoldingRegister:
        return "holding register";
    default:
        return "input register";
    }
}

std::optional<TItemKind> ParseKind(const std::string& Name) {
    if (Name == "coil")
        return ikCoil;
    if (Name == "discrete-input")
        return ikDiscreteInput;
    if (Name == "holding-register")
        return ikHoldingRegister;
    if (Name == "input-register")
        return ikInputRegister;
    return std::nullopt;
}

TServerItem* TItemMap::Find(TItemKind Kind, std::uint16_t Addr) {
    TServerItem Key;
    Key.Kind = Kind;
    Key.Addr = Addr;
    const auto It = std::lower_bound(FItems.begin(), FItems.end(), Key, Before);
    return It != FItems.end() && It->Kind == Kind && It->Addr == Addr ? &*It : nullptr;
}

void TItemMap::Put(const TServerItem& Item) {
    if (TServerItem* Old = Find(Item.Kind, Item.Addr)) {
        *Old = Item;
        return;
    }
    FItems.insert(std::upper_bound(FItems.begin(), FItems.end(), Item, Before), Item);
}

bool TItemMap::Remove(TItemKind Kind, std::uint16_t Addr) {
    TServerItem* Item = Find(Kind, Addr);
    if (Item == nullptr)
        return false;
    FItems.erase(FItems.begin() + (Item - FItems.data()));
    return true;
}

TItemMapFile ParseItemMap(const std::vector<std::uint8_t>& Bytes) {
    TItemMapFile File;
    std::vector<TServerItem> Items;
    const std::size_t Count = Bytes.size() / ServerItemSize;
    for (std::size_t I = 0; I < Count; ++I) {
        std::uint8_t Record[ServerItemSize];
        std::memcpy(Record, Bytes.data() + I * ServerItemSize, ServerItemSize);
        std::string Reason;
        if (const auto Item = DecodeServerItem(Record, Reason))
            Items.push_back(*Item);
        else
            File.Notes.push_back("record " + std::to_string(I + 1) + " skipped: " + Reason);
    }
    if (const std::size_t Rest = Bytes.size() % ServerItemSize; Rest != 0)
        File.Notes.push_back("the last " + std::to_string(Rest) +
                             " bytes are no whole record and are ignored");
    // Sorted as the demo lists them; duplicates stay in file order.
    std::stable_sort(Items.begin(), Items.end(), Before);
    for (const TServerItem& Item : Items) {
        // Put would replace a duplicate; the first one of a kind and address is the one served.
        if (File.Map.Find(Item.Kind, Item.Addr) == nullptr)
            File.Map.Put(Item);
        else
            File.Notes.push_back(std::string("a second ") + KindWord(Item.Kind) + " at address " +
                                 std::to_string(Item.Addr) + " is ignored");
    }
    return File;
}

TItemMapFile LoadItemMap(const std::string& Path) {
    TFile File(Path, O_RDONLY);
    if (File.Fd() < 0)
        Fail("cannot open item map", Path);
    if (!Lock(File.Fd(), LOCK_SH))
        Fail("cannot lock item map", Path);
    std::vector<std::uint8_t> Bytes;
    std::uint8_t Chunk[4096];
    for (;;) {
        const ssize_t N = ::read(File.Fd(), Chunk, sizeof Chunk);
        if (N == 0)
            break;
        if (N < 0) {
            if (errno == EINTR)
                continue;
            Fail("cannot read item map", Path);
        }
        Bytes.insert(Bytes.end(), Chunk, Chunk + N);
    }
    return ParseItemMap(Bytes);
}

void SaveItemMap(const std::string& Path, const TItemMap& Map) {
    // Not O_TRUNC: the file is emptied only once the lock is held.
    TFile File(Path, O_WRONLY | O_CREAT);
    if (File.Fd() < 0)
        Fail("cannot create item map", Path);
    if (!Lock(File.Fd(), LOCK_EX))
        Fail("cannot lock item map", Path);
    if (ftruncate(File.Fd(), 0) != 0)
        Fail("cannot empty item map", Path);
    std::vector<std::uint8_t> Bytes;
    for (const TServerItem& Item : Map.Items()) {
        std::uint8_t Record[ServerItemSize];
        EncodeServerItem(Item, Record);
        Bytes.insert(Bytes.end(), Record, Record + ServerItemSize);
    }
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N = ::write(File.Fd(), Bytes.data() + Done, Bytes.size() - Done);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            Fail("cannot write item map", Path);
        Done += static_cast<std::size_t>(N);
    }
    if (fsync(File.Fd()) != 0)
        Fail("cannot write item map", Path);
}

TItemMap SampleItemMap() {
    TItemMap Map;
    for (std::uint16_t I = 0; I < 10; ++I)
        Map.Put({I, ikCoil, static_cast<std::uint16_t>(I % 3 == 0 ? 1 : 0), 0, 1, true});
    for (std::uint16_t I = 0; I < 8; ++I)
        Map.Put({I, ikDiscreteInput, 0, 0, 1, false});
    for (std::uint16_t I = 0; I < 16; ++I)
        Map.Put({I, ikHoldingRegister, static_cast<std::uint16_t>(1000 + I), 0, 0xFFFF, true});
    Map.Put({100, ikHoldingRegister, 1234, 0, 2000, true});
    for (std::uint16_t I = 0; I < 8; ++I)
        Map.Put({I, ikInputRegister, static_cast<std::uint16_t>(I < 3 ? 0 : 2000 + I), 0, 0xFFFF, false});
    UpdateSampleItems(Map, 0);
    return Map;
}

void UpdateSampleItems(TItemMap& Map, double Seconds) {
    const auto Whole = static_cast<std::uint64_t>(Seconds);
    if (TServerItem* Counter = Map.Find(ikInputRegister, 0))
        Counter->Value = static_cast<std::uint16_t>(Whole & 0xFFFF);
    if (TServerItem* Sine = Map.Find(ikInputRegister, 1))
        Sine->Value = static_cast<std::uint16_t>(
            std::lround(500.0 + 500.0 * std::sin(2 * std::numbers::pi * Seconds / 60.0)));
    if (TServerItem* Triangle = Map.Find(ikInputRegister, 2)) {
        const double Phase = std::fmod(Seconds, 20.0);
        Triangle->Value =
            static_cast<std::uint16_t>(std::lround(Phase < 10 ? Phase * 10 : (20 - Phase) * 10));
    }
    for (std::uint16_t I = 0; I < 8; ++I) {
        if (TServerItem* Input = Map.Find(ikDiscreteInput, I))
            Input->Value = Whole % 8 == I ? 1 : 0;
    }
}

} // namespace QuorvelCli
