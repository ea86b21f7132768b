// The local server's item record and its 10-byte form in "ServerItems.dat".
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <memory>

class QIODevice;

// The kinds of item, by their number on file.
enum TItemKind : std::uint8_t { ikCoil, ikDiscreteInput, ikHoldingRegister, ikInputRegister };

// One item of the map. MinValue and MaxValue bound what a remote client may
// write into a holding register; Writeable lets a remote client write a coil
// or a holding register. Coils and discrete inputs hold 0 (OFF) or 1 (ON).
struct TServerItem {
    std::uint16_t Addr = 0;
    TItemKind Kind = ikCoil;
    std::uint16_t Value = 0;
    std::uint16_t MinValue = 0;
    std::uint16_t MaxValue = 0;
    bool Writeable = false;

    bool operator==(const TServerItem&) const = default;
};
using PServerItem = TServerItem*;

// On file: Addr (16 bits), Kind (8), Value (16), MinValue (16), MaxValue (16),
// Writeable (8, 0 or 1), 16-bit fields least significant byte first, with
// nothing between records.
inline constexpr int ServerItemSize = 10;
using TServerItemRecord = std::array<std::uint8_t, ServerItemSize>;

std::unique_ptr<TServerItem> NewServerItem(std::uint16_t Addr, TItemKind Kind, std::uint16_t Value,
                                           std::uint16_t MinValue, std::uint16_t MaxValue, bool Writeable);

TServerItemRecord EncodeServerItem(const TServerItem& Item);
// Decodes a record into Item. A record the program never writes (a kind above
// 3, a writeable flag other than 0 or 1, a coil or discrete input value above
// 1) leaves Item unchanged and returns false, with the reason in Damage.
bool DecodeServerItem(const TServerItemRecord& Record, TServerItem& Item, QString* Damage = nullptr);

// Reads exactly one record from Stream into Item; false (Item unchanged) for
// a damaged record, as DecodeServerItem. Raises when fewer than 10 bytes are
// left or the stream fails.
bool ReadServerItem(TServerItem& Item, QIODevice& Stream, QString* Damage = nullptr);
// Writes the record of Item to Stream; raises when the stream fails.
void WriteServerItem(const TServerItem& Item, QIODevice& Stream);

// "Coil", "Discrete Input", "Holding Register", "Input Register".
QString ServerItemKindName(TItemKind Kind);
// "coil", "discrete input", "holding register", "input register".
QString ServerItemKindWord(TItemKind Kind);
