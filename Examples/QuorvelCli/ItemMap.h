// The server item map shared with the demo program: its 10-byte records, the
// file that holds them ("ServerItems.dat"), and the map that serve answers from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelCli {

enum TItemKind : std::uint8_t { ikCoil, ikDiscreteInput, ikHoldingRegister, ikInputRegister };

// One item. On file: Addr (16 bits), Kind (8), Value (16), MinValue (16),
// MaxValue (16), Writeable (8, 0 or 1); 16-bit fields least significant byte
// first, 10 bytes in all. Min and max mean something for holding registers
// only, Writeable for coils and holding registers only.
struct TServerItem {
    std::uint16_t Addr = 0;
    TItemKind Kind = ikCoil;
    std::uint16_t Value = 0;
    std::uint16_t MinValue = 0;
    std::uint16_t MaxValue = 0xFFFF;
    bool Writeable = true;

    bool operator==(const TServerItem&) const = default;
};

inline constexpr std::size_t ServerItemSize = 10;

void EncodeServerItem(const TServerItem& Item, std::uint8_t (&Record)[ServerItemSize]);
// The item a record holds, or the reason it is refused: a kind above 3, a
// writeable flag other than 0 or 1, or a coil or discrete input value above 1.
std::optional<TServerItem> DecodeServerItem(const std::uint8_t (&Record)[ServerItemSize],
                                            std::string& Reason);

// "coil", "discrete input", "holding register", "input register".
const char* KindWord(TItemKind Kind) noexcept;
// Kind names as typed: coil, discrete-input, holding-register, input-register.
std::optional<TItemKind> ParseKind(const std::string& Name);

// The items of a map, kept in the demo's order: by kind, then by address.
// Duplicates that a file holds are kept; Find returns the first.
class TItemMap {
public:
    const std::vector<TServerItem>& Items() const noexcept { return FItems; }
    TServerItem* Find(TItemKind Kind, std::uint16_t Addr);
    // Adds Item, or replaces the item of the same kind and address.
    void Put(const TServerItem& Item);
    // False when there was no such item.
    bool Remove(TItemKind Kind, std::uint16_t Addr);
    void Clear() { FItems.clear(); }

private:
    std::vector<TServerItem> FItems;
};

// The items of a file's bytes, with a message for each record skipped. A
// trailing part shorter than a record is ignored (and reported in Notes).
struct TItemMapFile {
    TItemMap Map;
    std::vector<std::string> Notes;
};
TItemMapFile ParseItemMap(const std::vector<std::uint8_t>& Bytes);

// Reads and writes the file under a shared or exclusive lock (as the demo
// does), so a reader never sees a save half done. Raise std::runtime_error
// with the path and the system's reason.
TItemMapFile LoadItemMap(const std::string& Path);
void SaveItemMap(const std::string& Path, const TItemMap& Map);

// The built-in sample map: ten coils and sixteen holding registers to write,
// discrete inputs and input registers that change over time, and a holding
// register at 100 with the range 0..2000.
TItemMap SampleItemMap();
// Moves the sample map's live items on to Seconds after the start: input
// register 0 counts seconds, 1 follows a sine wave (0..1000, one period a
// minute), 2 a triangle (0..100..0 every 20 s); one discrete input of 0..7 is
// on at a time, walking once a second. Only items the map holds change.
void UpdateSampleItems(TItemMap& Map, double Seconds);

} // namespace QuorvelCli
