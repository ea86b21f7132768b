// The main window's settings file "QuorvelDemo.dat": the file-logging switch,
// the connection's properties and the two addresses, in a fixed key order.
// Loaded once at start-up; saved whole after every change, never at exit.

#include "QuorvelDemoMain.h"

#include "IniFile.h"
#include "QuorvelDemoApplication.h"

#include <stdexcept>

using namespace Quorvel;

namespace {

const QString GeneralSection = QStringLiteral("General");
const QString ConnectionSection = QStringLiteral("ModbusConnection1");
const QString ClientSection = QStringLiteral("ModbusClient1");
const QString ServerSection = QStringLiteral("ModbusServer1");

// The file holds signed 32-bit integers; the connection's numbers are 32-bit
// unsigned. Both directions keep the 32 bits, so -1 in the file is 4294967295
// and 4294967295 is stored as -1.
std::uint32_t FromFileInteger(std::int32_t Value) {
    return static_cast<std::uint32_t>(Value);
}

std::int32_t ToFileInteger(std::uint32_t Value) {
    return static_cast<std::int32_t>(Value);
}

[[noreturn]] void RaiseOrdinalOutOfRange(int Count) {
    throw EQuorvelError(qmValueOutOfRange, {0, Count - 1});
}

// Reads one key and hands it to its target. A value the target refuses (a
// setter's check, an ordinal outside its enumeration, an address outside a
// byte) leaves the setting at its default; Reject is told the key and why.
class TSettingsReader {
public:
    using TReject = std::function<void(const QString& Section, const QString& Key, const QString& Reason)>;

    TSettingsReader(const TIniFile& IniFile, TReject Reject)
        : FIniFile(IniFile), FReject(std::move(Reject)) {}

    template <typename F>
    void Integer(const QString& Section, const QString& Key, std::int32_t Default, F&& Assign) {
        const std::int32_t Value = FIniFile.ReadInteger(Section, Key, Default);
        try {
            Assign(Value);
        } catch (const std::exception& Error) {
            FReject(Section, Key, QString::fromStdString(Error.what()));
        }
    }

    // An enumerated connection property: ordinal 0 .. Count - 1.
    template <typename TEnum>
    void Ordinal(const QString& Key, TEnum Default, int Count, void (TModbusConnection::*Setter)(TEnum),
                 TModbusConnection& Connection) {
        Integer(ConnectionSection, Key, static_cast<std::int32_t>(Default), [&](std::int32_t Value) {
            if (Value < 0 || Value >= Count)
                RaiseOrdinalOutOfRange(Count);
            (Connection.*Setter)(static_cast<TEnum>(Value));
        });
    }

    void Unsigned(const QString& Key, std::uint32_t Default, void (TModbusConnection::*Setter)(std::uint32_t),
                  TModbusConnection& Connection) {
        Integer(ConnectionSection, Key, ToFileInteger(Default),
                [&](std::int32_t Value) { (Connection.*Setter)(FromFileInteger(Value)); });
    }

    void Boolean(const QString& Key, bool Default, void (TModbusConnection::*Setter)(bool),
                 TModbusConnection& Connection) {
        (Connection.*Setter)(FIniFile.ReadBool(ConnectionSection, Key, Default));
    }

    // An address stored as an integer that must fit a byte.
    template <typename F>
    void Address(const QString& Section, const QString& Key, F&& Assign) {
        Integer(Section, Key, 1, [&](std::int32_t Value) {
            if (Value < 0 || Value > 255)
                throw std::range_error("Range check error");
            Assign(static_cast<std::uint8_t>(Value));
        });
    }

private:
    const TIniFile& FIniFile;
    TReject FReject;
};

} // namespace

void TQuorvelDemoMainForm::LoadSettings(TIniFile& aIniFile) {
    TModbusConnection& C = *ModbusConnection1;
    // A hand-edited file may hold values the components refuse: each such
    // setting keeps its default and one log line names it.
    TSettingsReader Read(aIniFile, [&](const QString& Section, const QString& Key, const QString& Reason) {
        const QString Stored = aIniFile.ReadString(Section, Key, QString());
        RunHandler(nullptr, [&] {
            AddLogLine(
                QStringLiteral("Setting %1 in [%2] has the invalid value '%3' (%4); its default is used.")
                    .arg(Key, Section, Stored, Reason));
        });
    });

    fLog->SetLogTransactionsToFile(
        aIniFile.ReadBool(GeneralSection, QStringLiteral("LogTransactionsToFile"), false));

    Read.Ordinal(QStringLiteral("BaudRate"), br19200, brCustom + 1, &TModbusConnection::SetBaudRate, C);
    if (C.BaudRate() == brCustom)
        Read.Unsigned(QStringLiteral("CustomBaudRate"), 19200, &TModbusConnection::SetCustomBaudRate, C);
    Read.Ordinal(QStringLiteral("ConnectionMode"), cmClient, cmServer + 1,
                 &TModbusConnection::SetConnectionMode, C);
    Read.Ordinal(QStringLiteral("DataBits"), db8, db8 + 1, &TModbusConnection::SetDataBits, C);
    Read.Boolean(QStringLiteral("DTREnabled"), true, &TModbusConnection::SetDTREnabled, C);
    Read.Boolean(QStringLiteral("EchoQueryBeforeReply"), false, &TModbusConnection::SetEchoQueryBeforeReply,
                 C);
    Read.Ordinal(QStringLiteral("FlowControl"), fcNone, fcDtrDsr + 1, &TModbusConnection::SetFlowControl, C);
    Read.Unsigned(QStringLiteral("MaxRetries"), 1, &TModbusConnection::SetMaxRetries, C);
    Read.Ordinal(QStringLiteral("Parity"), psEven, psEven + 1, &TModbusConnection::SetParity, C);
    C.SetPort(
        aIniFile.ReadString(ConnectionSection, QStringLiteral("Port"), QStringLiteral("COM1")).toStdString());
    Read.Unsigned(QStringLiteral("ReceiveTimeout"), 1000, &TModbusConnection::SetReceiveTimeout, C);
    Read.Unsigned(QStringLiteral("RefetchDelay"), 0, &TModbusConnection::SetRefetchDelay, C);
    Read.Boolean(QStringLiteral("RTSEnabled"), true, &TModbusConnection::SetRTSEnabled, C);
    Read.Unsigned(QStringLiteral("SendTimeout"), 1000, &TModbusConnection::SetSendTimeout, C);
    Read.Unsigned(QStringLiteral("SilentInterval"), 4, &TModbusConnection::SetSilentInterval, C);
    Read.Ordinal(QStringLiteral("StopBits"), sb1, sb2 + 1, &TModbusConnection::SetStopBits, C);
    Read.Ordinal(QStringLiteral("ThreadPriority"), tpNormal, tpTimeCritical + 1,
                 &TModbusConnection::SetThreadPriority, C);
    Read.Ordinal(QStringLiteral("TransmissionMode"), tmRTU, tmASCII + 1,
                 &TModbusConnection::SetTransmissionMode, C);
    Read.Unsigned(QStringLiteral("TurnaroundDelay"), 100, &TModbusConnection::SetTurnaroundDelay, C);

    Read.Address(ClientSection, QStringLiteral("ServerAddress"),
                 [this](std::uint8_t Value) { ModbusClient1->SetServerAddress(Value); });
    Read.Address(ServerSection, QStringLiteral("Address"),
                 [this](std::uint8_t Value) { ModbusServer1->SetAddress(Value); });
}

void TQuorvelDemoMainForm::SaveSettings(TIniFile& aIniFile) {
    const TModbusConnection& C = *ModbusConnection1;
    const auto Write = [&](const QString& Key, std::int32_t Value) {
        aIniFile.WriteInteger(ConnectionSection, Key, Value);
    };
    const auto WriteUnsigned = [&](const QString& Key, std::uint32_t Value) {
        Write(Key, ToFileInteger(Value));
    };

    aIniFile.WriteBool(GeneralSection, QStringLiteral("LogTransactionsToFile"),
                       fLog->LogTransactionsToFile());
    Write(QStringLiteral("BaudRate"), C.BaudRate());
    // A standard rate leaves an older custom rate in the file as it is.
    if (C.BaudRate() == brCustom)
        WriteUnsigned(QStringLiteral("CustomBaudRate"), C.CustomBaudRate());
    Write(QStringLiteral("ConnectionMode"), C.ConnectionMode());
    Write(QStringLiteral("DataBits"), C.DataBits());
    aIniFile.WriteBool(ConnectionSection, QStringLiteral("DTREnabled"), C.DTREnabled());
    aIniFile.WriteBool(ConnectionSection, QStringLiteral("EchoQueryBeforeReply"), C.EchoQueryBeforeReply());
    Write(QStringLiteral("FlowControl"), C.FlowControl());
    WriteUnsigned(QStringLiteral("MaxRetries"), C.MaxRetries());
    Write(QStringLiteral("Parity"), C.Parity());
    aIniFile.WriteString(ConnectionSection, QStringLiteral("Port"), QString::fromStdString(C.Port()));
    WriteUnsigned(QStringLiteral("ReceiveTimeout"), C.ReceiveTimeout());
    WriteUnsigned(QStringLiteral("RefetchDelay"), C.RefetchDelay());
    aIniFile.WriteBool(ConnectionSection, QStringLiteral("RTSEnabled"), C.RTSEnabled());
    WriteUnsigned(QStringLiteral("SendTimeout"), C.SendTimeout());
    WriteUnsigned(QStringLiteral("SilentInterval"), C.SilentInterval());
    Write(QStringLiteral("StopBits"), C.StopBits());
    Write(QStringLiteral("ThreadPriority"), C.ThreadPriority());
    Write(QStringLiteral("TransmissionMode"), C.TransmissionMode());
    WriteUnsigned(QStringLiteral("TurnaroundDelay"), C.TurnaroundDelay());
    aIniFile.WriteInteger(ClientSection, QStringLiteral("ServerAddress"), ModbusClient1->ServerAddress());
    aIniFile.WriteInteger(ServerSection, QStringLiteral("Address"), ModbusServer1->Address());
}
