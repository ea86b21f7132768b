// TQuorvelDemoMainForm: the demo's main window. It owns one connection, one
// client and one server on it, shows the client's operation pages or the
// local server's item map by the connection mode, and logs every transaction,
// frame and connection event.
//
// The window's code is spread over files by subject:
//   QuorvelDemoMain.cpp          start-up and shut-down, mode view, status bar,
//                                connection events, menu commands
//   QuorvelDemoMainSettings.cpp  the settings file "QuorvelDemo.dat"
//   QuorvelDemoMainClient.cpp    the client operation pages and their reports
//   QuorvelDemoMainServer.cpp    the local server's item map and its events
//   TransactionLog.*             the log itself, used through the Log section below
#pragma once

#include "ServerItem.h"
#include "TransactionLog.h"
#include "ui_QuorvelDemoMain.h"

#include <Quorvel.h>

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QPoint;
class QTimer;
class TIniFile;

class TQuorvelDemoMainForm : public QMainWindow, private Ui::TQuorvelDemoMainForm {
    Q_OBJECT

public:
    // Builds the window and runs the start-up sequence: settings, welcome
    // lines, item map, opening the connection, introduction. Errors of the
    // steps that can fail are shown in the standard error box, and start-up
    // goes on. DataDirectory holds the settings, item map, log and
    // introduction files; empty means the executable's directory. A Port
    // that is not empty replaces the settings' port for this run (until a
    // change of settings saves it).
    explicit TQuorvelDemoMainForm(QWidget* AOwner = nullptr, const QString& DataDirectory = QString(),
                                  const QString& Port = QString());
    // Closes the connection without logging it; saves nothing.
    ~TQuorvelDemoMainForm() override;

    // The settings file's keys, from and to aIniFile.
    void LoadSettings(TIniFile& aIniFile);
    void SaveSettings(TIniFile& aIniFile);
    // Replaces the item map with the file's items; a damaged record is
    // skipped with a log line.
    void LoadServerItems(const QString& aFileName);
    // Writes the map, in list order, to a new file that replaces aFileName
    // only once it is complete.
    void SaveServerItems(const QString& aFileName);

    // The files beside the executable (or in the data directory).
    QString SettingsFileName() const;
    QString ServerItemsFileName() const;
    QString LogFileName() const;
    QString IntroductionFileName() const;

    // The window's components, created with it; the client and the server work
    // through the connection.
    std::unique_ptr<Quorvel::TModbusConnection> ModbusConnection1;
    std::unique_ptr<Quorvel::TModbusClient> ModbusClient1;
    std::unique_ptr<Quorvel::TModbusServer> ModbusServer1;

private:
    // --- Mode view and status bar ------------------------------------------------
    void UpdateModeView();
    void UpdateStatusBar();
    void Timer1Timer();

    // --- Connection events ----------------------------------------------------------
    void ModbusConnection1BeforeOpen(Quorvel::TComponent* Sender);
    void ModbusConnection1AfterOpen(Quorvel::TComponent* Sender);
    void ModbusConnection1BeforeClose(Quorvel::TComponent* Sender);
    void ModbusConnection1AfterClose(Quorvel::TComponent* Sender);
    void ModbusConnection1FrameSend(Quorvel::TComponent* Sender, const Quorvel::TFrameData& Data);
    void ModbusConnection1FrameReceive(Quorvel::TComponent* Sender, const Quorvel::TFrameData& Data);

    // --- Menu commands ------------------------------------------------------------------
    void FileExitItemClick();
    void ToolsConnectionOptionsItemClick();
    void ToolsClientOptionsItemClick();
    void ToolsServerOptionsItemClick();
    void ToolsDiscardPendingTransactionsItemClick();
    void ToolsClearTransactionLogItemClick();
    void ToolsLogTransactionsToFileItemClick();
    void HelpAboutItemClick();
    // The address prompts: the number entered, or none after Cancel. Raises
    // for a text that is no integer or a number outside 1..247.
    std::optional<std::uint8_t> QueryAddress(const QString& Caption, const QString& Prompt,
                                             std::uint8_t Current);

    // --- Start-up helpers -------------------------------------------------------------------
    void WriteWelcomeLines();
    void OpenConnection();
    void LoadIntroduction();
    // Opens the settings file for one load or save.
    void LoadSettingsFile();
    void SaveSettingsFile();
    // Writes the failure line of an open (or of the options command) for Error.
    void LogOpenFailure(std::exception_ptr Error);

    // --- Log (TransactionLog.h) ------------------------------------------------------
    void AddLogLine(const QString& Text) { fLog->AddLogLine(Text); }
    void ClearTransactionLog() { fLog->ClearTransactionLog(); }
    void LogFrame(const Quorvel::TFrameData& Frame, bool Sent) { fLog->LogFrame(Frame, Sent); }
    void LogHexDump(const std::vector<std::uint8_t>& Bytes) { fLog->LogHexDump(Bytes); }
    void LogInit(std::uint32_t ID, const QString& Title) { fLog->LogInit(ID, Title); }
    void LogDone(std::uint32_t ID, const QString& Title) { fLog->LogDone(ID, Title); }
    // The outcome line(s), with the client's text for an exception code.
    void LogReply(const Quorvel::TTransactionInfo& Info);
    void LogBroadcastNote() { fLog->LogBroadcastNote(); }
    void LogBitCount(int Count, TLogItemKind Kind) { fLog->LogBitCount(Count, Kind); }
    void LogRegisterCount(int Count, TLogItemKind Kind) { fLog->LogRegisterCount(Count, Kind); }
    void LogBitValue(int Addr, bool Value, TLogItemKind Kind) { fLog->LogBitValue(Addr, Value, Kind); }
    void LogRegisterValue(int Addr, std::uint16_t Value, TLogItemKind Kind) {
        fLog->LogRegisterValue(Addr, Value, Kind);
    }
    void LogExceptionStatusBit(int Index, bool State) { fLog->LogExceptionStatusBit(Index, State); }

    // --- Client operation pages (QuorvelDemoMainClient.cpp) ---------------------------
    // Assigns the client's completion events and the pages' handlers; called
    // once while the window is built.
    void ConnectClientPanels();
    // Start-up: puts the register list's columns in order and builds the coil
    // and register lists from their edits.
    void PrepareClientPanels();

    // The edit's text as a whole number (decimal, or hexadecimal after "$",
    // "0x" or "x"). Raises, after giving the edit the focus, for a text that
    // does not convert or a number outside MinValue..MaxValue.
    std::int64_t CheckEditValue(QLineEdit* Edit, std::int64_t MinValue, std::int64_t MaxValue);
    void CheckReadBitEdits();
    void CheckWriteBitEdits();
    void CheckReadRegEdits();
    void CheckWriteRegEdits();
    void CheckMaskWriteEdits();
    // Resize and relabel the write lists from their start and count edits.
    void UpdateCoilList();
    void UpdateRegisterList();

    void ReadCoilsButtonClick();
    void ReadDiscreteInputsButtonClick();
    void WriteSingleCoilButtonClick();
    void WriteMultipleCoilsButtonClick();
    void ReadHoldingRegistersButtonClick();
    void ReadInputRegistersButtonClick();
    void WriteSingleRegisterButtonClick();
    void WriteMultipleRegistersButtonClick();
    void MaskWriteSingleRegisterButtonClick();
    void ReadWriteMultipleRegistersButtonClick();
    void DiagnosticsButtonClick();
    void ReadExceptionStatusButtonClick();
    void ReportServerIDButtonClick();
    void WriteStartBitEditExit();
    void WriteBitCountEditExit();
    void WriteStartRegEditExit();
    void WriteRegCountEditExit();
    // True when the key was used (Enter starts editing the selected value).
    bool RegisterListViewKeyDown(int Key);
    // Pos in the list's viewport.
    void RegisterListViewDblClick(const QPoint& Pos);
    void RegisterListViewEdited(int Row, QString& S);

    void ModbusClient1CoilsRead(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                std::uint16_t StartBit, std::uint16_t BitCount,
                                const Quorvel::TBitValues& BitValues);
    void ModbusClient1DiscreteInputsRead(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                         std::uint16_t StartBit, std::uint16_t BitCount,
                                         const Quorvel::TBitValues& BitValues);
    void ModbusClient1SingleCoilWrite(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                      std::uint16_t BitAddr, bool BitValue);
    void ModbusClient1MultipleCoilsWrite(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                         std::uint16_t StartBit, std::uint16_t BitCount,
                                         const Quorvel::TBitValues& BitValues);
    void ModbusClient1HoldingRegistersRead(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                           std::uint16_t StartReg, std::uint16_t RegCount,
                                           const Quorvel::TRegValues& RegValues);
    void ModbusClient1InputRegistersRead(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                         std::uint16_t StartReg, std::uint16_t RegCount,
                                         const Quorvel::TRegValues& RegValues);
    void ModbusClient1SingleRegisterWrite(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                          std::uint16_t RegAddr, std::uint16_t RegValue);
    void ModbusClient1MultipleRegistersWrite(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                             std::uint16_t StartReg, std::uint16_t RegCount,
                                             const Quorvel::TRegValues& RegValues);
    void ModbusClient1SingleRegisterMaskWrite(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                              std::uint16_t RegAddr, std::uint16_t AndMask, std::uint16_t OrMask);
    void ModbusClient1MultipleRegistersReadWrite(Quorvel::TComponent* Sender,
                                                 const Quorvel::TTransactionInfo& Info,
                                                 std::uint16_t StartRegToRead, std::uint16_t RegCountToRead,
                                                 const Quorvel::TRegValues& RegValuesToRead,
                                                 std::uint16_t StartRegToWrite, std::uint16_t RegCountToWrite,
                                                 const Quorvel::TRegValues& RegValuesToWrite);
    void ModbusClient1Diagnostics(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                  Quorvel::TDiagnosticAction Action, std::uint16_t Result);
    void ModbusClient1ExceptionStatusRead(Quorvel::TComponent* Sender, const Quorvel::TTransactionInfo& Info,
                                          const Quorvel::TExceptionStatusValues& StatusValues);
    void ModbusClient1ServerIdentificationReport(Quorvel::TComponent* Sender,
                                                 const Quorvel::TTransactionInfo& Info, std::int32_t Count,
                                                 const Quorvel::TServerIdentificationData& Data);

    // --- Local server's item map (QuorvelDemoMainServer.cpp) --------------------------
    // Assigns the server's item events and the map page's handlers; called once
    // while the window is built.
    void ConnectServerItemMap();
    // The record of the first row with this address and kind, or none.
    PServerItem FindServerItem(std::uint16_t Addr, TItemKind Kind) const;
    TServerItemRow* FindServerItemRow(std::uint16_t Addr, TItemKind Kind) const;
    TServerItemRow* SelectedServerItemRow() const;
    void ShowServerItem(TServerItemRow* Row);
    void EditSelectedServerItem();
    void LogReadRequestError(TItemKind Kind, std::uint16_t Addr);
    void LogWriteRequestError(TItemKind Kind, std::uint16_t Addr, Quorvel::TItemWriteStatus Status,
                              std::uint16_t Value);
    // A log line written from a server event: an error of the log file is
    // shown once the query has been answered, not raised into the server.
    void LogServerLine(const QString& Text);
    void AddButtonClick();
    void AddServerItemClick(QAction* Sender);
    void EditButtonClick();
    void RemoveButtonClick();
    void RemoveAllButtonClick();
    void ServerItemsListViewDblClick(QTreeWidgetItem* Row);
    // Enter on a selected row edits it; true when the key was used.
    bool ServerItemsListViewKeyDown(int Key);
    // Asks Question with Yes and No; true for Yes.
    bool ConfirmServerMapChange(const QString& Question);
    void ModbusServer1AcceptCommand(Quorvel::TComponent* Sender, std::uint8_t Command, bool& Accept);
    void ModbusServer1CanReadCoil(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool& Allow);
    void ModbusServer1CanReadDiscreteInput(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool& Allow);
    void ModbusServer1CanReadHoldingRegister(Quorvel::TComponent* Sender, std::uint16_t RegAddr, bool& Allow);
    void ModbusServer1CanReadInputRegister(Quorvel::TComponent* Sender, std::uint16_t RegAddr, bool& Allow);
    // The four read permissions: an item of Kind at Addr exists.
    bool CanReadServerItem(TItemKind Kind, std::uint16_t Addr);
    void ModbusServer1CanWriteCoil(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool BitValue,
                                   Quorvel::TItemWriteStatus& Status);
    void ModbusServer1CanWriteHoldingRegister(Quorvel::TComponent* Sender, std::uint16_t RegAddr,
                                              std::uint16_t RegValue, Quorvel::TItemWriteStatus& Status);
    void ModbusServer1GetCoilValue(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool& BitValue);
    void ModbusServer1GetDiscreteInputValue(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool& BitValue);
    void ModbusServer1GetHoldingRegisterValue(Quorvel::TComponent* Sender, std::uint16_t RegAddr,
                                              std::uint16_t& RegValue);
    void ModbusServer1GetInputRegisterValue(Quorvel::TComponent* Sender, std::uint16_t RegAddr,
                                            std::uint16_t& RegValue);
    void ModbusServer1SetCoilValue(Quorvel::TComponent* Sender, std::uint16_t BitAddr, bool BitValue);
    void ModbusServer1SetHoldingRegisterValue(Quorvel::TComponent* Sender, std::uint16_t RegAddr,
                                              std::uint16_t RegValue);

    QString fDataDirectory;                // with its trailing separator
    std::unique_ptr<TTransactionLog> fLog; // made once LogMemo exists
    bool fDestroying = false;
    QTimer* Timer1;
    QLabel* fStatusPanels[3];
};
