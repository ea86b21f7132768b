#include "ServerItem.h"

#include <QIODevice>

#include <stdexcept>

namespace {

void PutWord(TServerItemRecord& Record, int Offset, std::uint16_t Value) {
    Record[Offset] = static_cast<std::uint8_t>(Value & 0xFF);
    Record[Offset + 1] = static_cast<std::uint8_t>(Value >> 8);
}

std::uint16_t Word(const TServerItemRecord& Record, int Offset) {
    return static_cast<std::uint16_t>(Record[Offset] | (Record[Offset + 1] << 8));
}

} // namespace

std::unique_ptr<TServerItem> NewServerItem(std::uint16_t Addr, TItemKind Kind, std::uint16_t Value,
                                           std::uint16_t MinValue, std::uint16_t MaxValue, bool Writeable) {
    auto Item = std::make_unique<TServerItem>();
    Item->Addr = Addr;
    Item->Kind = Kind;
    Item->Value = Value;
    Item->MinValue = MinValue;
    Item->MaxValue = MaxValue;
    Item->Writeable = Writeable;
    return Item;
}

TServerItemRecord EncodeServerItem(const TServerItem& Item) {
    TServerItemRecord Record{};
    PutWord(Record, 0, Item.Addr);
    Record[2] = Item.Kind;
    PutWord(Record, 3, Item.Value);
    PutWord(Record, 5, Item.MinValue);
    PutWord(Record, 7, Item.MaxValue);
    Record[9] = Item.Writeable ? 1 : 0;
    return Record;
}

bool DecodeServerItem(const TServerItemRecord& Record, TServerItem& Item, QString* Damage) {
    QString Reason;
    const std::uint8_t Kind = Record[2];
    const std::uint16_t Value = Word(Record, 3);
    if (Kind > ikInputRegister)
        Reason = QStringLiteral("unknown kind %1").arg(Kind);
    else if (Record[9] > 1)
        Reason = QStringLiteral("writeable flag %1").arg(Record[9]);
    else if ((Kind == ikCoil || Kind == ikDiscreteInput) && Value > 1)
        Reason = QStringLiteral("bit value %1").arg(Value);
    if (!Reason.isEmpty()) {
        if (Damage != nullptr)
            *Damage = Reason;
        return false;
    }
    Item.Addr = Word(Record, 0);
    Item.Kind = static_cast<TItemKind>(Kind);
    Item.Value = Value;
    Item.MinValue = Word(Record, 5);
    Item.MaxValue = Word(Record, 7);
    Item.Writeable = Record[9] == 1;
    return true;
}

bool ReadServerItem(TServerItem& Item, QIODevice& Stream, QString* Damage) {
    TServerItemRecord Record{};
    const qint64 N = Stream.read(reinterpret_cast<char*>(Record.data()), ServerItemSize);
    if (N < 0)
        throw std::runtime_error(
            QStringLiteral("Stream read error: %1").arg(Stream.errorString()).toStdString());
    if (N != ServerItemSize)
        throw std::runtime_error("Stream read error: the record is incomplete");
    return DecodeServerItem(Record, Item, Damage);
}

void WriteServerItem(const TServerItem& Item, QIODevice& Stream) {
    const TServerItemRecord Record = EncodeServerItem(Item);
    if (Stream.write(reinterpret_cast<const char*>(Record.data()), ServerItemSize) != ServerItemSize)
        throw std::runtime_error(
            QStringLiteral("Stream write error: %1").arg(Stream.errorString()).toStdString());
}

QString ServerItemKindName(TItemKind Kind) {
    switch (Kind) {
    case ikCoil:
        return QStringLiteral("Coil");
    case ikDiscreteInput:
        return QStringLiteral("Discrete Input");
    case ikHoldingRegister:
        return QStringLiteral("Holding Register");
    case ikInputRegister:
        return QStringLiteral("Input Register");
    }
    return QString();
}

QString ServerItemKindWord(TItemKind Kind) {
    switch (Kind) {
    case ikCoil:
        return QStringLiteral("coil");
    case ikDiscreteInput:
        return QStringLiteral("discrete input");
    case ikHoldingRegister:
        return QStringLiteral("holding register");
    case ikInputRegister:
        return QStringLiteral("input register");
    }
    return QString();
}
