// The demo's item map records ("ServerItems.dat") on any bytes: a record either
// decodes to an item that encodes back to the same ten bytes, or is refused
// with a reason and the item left alone; a file read record by record ends in
// a clear error at a short tail, never in a crash.
//
// Input: the file's bytes.

#include "FuzzCheck.h"
#include "ServerItem.h"

#include <QBuffer>

#include <cstring>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    for (std::size_t At = 0; At + ServerItemSize <= Size; At += ServerItemSize) {
        TServerItemRecord Record;
        std::memcpy(Record.data(), Data + At, ServerItemSize);
        const TServerItem Before = *NewServerItem(1, ikHoldingRegister, 2, 0, 10, true);
        TServerItem Item = Before;
        QString Damage;
        if (DecodeServerItem(Record, Item, &Damage))
            FUZZ_CHECK(EncodeServerItem(Item) == Record);
        else
            FUZZ_CHECK(Item == Before && !Damage.isEmpty());
    }

    QByteArray Bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    QBuffer Stream(&Bytes);
    FUZZ_CHECK(Stream.open(QIODevice::ReadOnly));
    std::size_t Records = 0;
    try {
        while (!Stream.atEnd()) {
            TServerItem Item;
            (void)ReadServerItem(Item, Stream);
            ++Records;
        }
        FUZZ_CHECK(Size % ServerItemSize == 0);
    } catch (const std::runtime_error& E) {
        // Only a tail shorter than a record is an error.
        FUZZ_CHECK(Size % ServerItemSize != 0 && Records == Size / ServerItemSize);
        FUZZ_CHECK(std::strlen(E.what()) > 0);
    }
    return 0;
}
