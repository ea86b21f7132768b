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

#include "TransactionLog.h"
#include "ui_QuorvelDemoMain.h"

#include <Quorvel.h>

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QLabel;
class QTimer;
class TIniFile;

class TQuorvelDemoMainForm : public QMainWindow, private Ui::TQuorvelDemoMainForm {
    Q_OBJECT

public:
    // Builds the window and runs the start-up sequence: settings, welcome
    // lines, item map, opening the connection, introduction. Errors of the
    // steps that can fail are shown in the standard error box, and start-up
    // goes on. DataDirectory holds the settings, item map, log and
    // introduction files; empty means the executable's directory.
    explicit TQuorvelDemoMainForm(QWidget* AOwner = nullptr, const QString& DataDirectory = QString());
    // Closes the connection without logging it; saves nothing.
    ~TQuorvelDemoMainForm() override;

    // The settings file's keys, from and to aIniFile.
    void LoadSettings(TIniFile& aIniFile);
    void SaveSettings(TIniFile& aIniFile);
    // Replaces the item map with the file's items.
    void LoadServerItems(const QString& aFileName);

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

    // --- Local server's item map (QuorvelDemoMainServer.cpp) --------------------------
    // Assigns the server's item events and the map page's handlers; called once
    // while the window is built.
    void ConnectServerItemMap();

    QString fDataDirectory;                // with its trailing separator
    std::unique_ptr<TTransactionLog> fLog; // made once LogMemo exists
    bool fDestroying = false;
    QTimer* Timer1;
    QLabel* fStatusPanels[3];
};
