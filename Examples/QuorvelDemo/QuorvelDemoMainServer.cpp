// The main window's local server item map ("Local Server's Item Map"): the
// map's page, its file "ServerItems.dat" and the server's item events.

#include "QuorvelDemoMain.h"

#include "FileAccess.h"
#include "QuorvelDemoApplication.h"
#include "ServerItemEditor.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Quorvel;

namespace {

// Hands Enter on the list to the window; every other key goes on to the list.
class TKeyDownFilter : public QObject {
public:
    TKeyDownFilter(QObject* Parent, std::function<bool(int)> KeyDown)
        : QObject(Parent), FKeyDown(std::move(KeyDown)) {}

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::KeyPress && FKeyDown(static_cast<QKeyEvent*>(Event)->key()))
            return true;
        return QObject::eventFilter(Watched, Event);
    }

private:
    std::function<bool(int)> FKeyDown;
};

// Takes a shared lock on the open map file, so a writer that locks it (the
// command-line tool saves in place under an exclusive lock) is never read half
// done. Waits up to two seconds for such a writer.
void LockForReading(QFile& File) {
    for (int Try = 0; Try < 200; ++Try) {
        if (flock(File.handle(), LOCK_SH | LOCK_NB) == 0)
            return;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error(CannotOpenFileText(File.fileName(), ErrnoText(errno)));
}

[[noreturn]] void FailWrite(const QString& FileName, int Error) {
    throw std::runtime_error(CannotWriteFileText(FileName, ErrnoText(Error)));
}

// Writes Bytes to a new file beside FileName and puts it in FileName's place
// only once every byte is on disk, so a failed save leaves the old file whole.
// Every result is checked: a short write (a full disk, a size limit) is an
// error. The new file keeps the old one's permissions.
void ReplaceFile(const QString& FileName, const QByteArray& Bytes) {
    QString Target = FileName;
    const QFileInfo Info(FileName);
    if (Info.isSymLink())
        Target = Info.symLinkTarget(); // replace the file, not the link to it
    const QByteArray TargetPath = QFile::encodeName(Target);
    QByteArray TempPath = TargetPath + ".XXXXXX";
    const int Fd = mkstemp(TempPath.data());
    if (Fd < 0)
        FailWrite(FileName, errno);
    const auto Fail = [&](int Error) {
        (void)::close(Fd);                    // the file is abandoned; its close result is of no use
        (void)::unlink(TempPath.constData()); // nothing else to do if even this fails
        FailWrite(FileName, Error);
    };
    struct stat Old {};
    mode_t Mode = 0;
    if (::stat(TargetPath.constData(), &Old) == 0) {
        Mode = Old.st_mode & 07777;
    } else {
        Mode = ::umask(0);
        ::umask(Mode);
        Mode = 0666 & ~Mode;
    }
    if (::fchmod(Fd, Mode) != 0)
        Fail(errno);
    qsizetype Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N = ::write(Fd, Bytes.constData() + Done, static_cast<size_t>(Bytes.size() - Done));
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            Fail(N < 0 ? errno : EIO);
        Done += N;
    }
    if (::fsync(Fd) != 0)
        Fail(errno);
    if (::close(Fd) != 0) {
        const int Error = errno;
        (void)::unlink(TempPath.constData()); // as above
        FailWrite(FileName, Error);
    }
    if (::rename(TempPath.constData(), TargetPath.constData()) != 0) {
        const int Error = errno;
        (void)::unlink(TempPath.constData()); // as above
        FailWrite(FileName, Error);
    }
}

} // namespace

void TQuorvelDemoMainForm::ConnectServerItemMap() {
    TServerMapPage* Page = ServerMapTabSheet;
    const auto OnClick = [this](QPushButton* Button, void (TQuorvelDemoMainForm::*Handler)()) {
        connect(Button, &QPushButton::clicked, this,
                [this, Handler] { RunHandler(this, [this, Handler] { (this->*Handler)(); }); });
    };
    OnClick(Page->AddButton, &TQuorvelDemoMainForm::AddButtonClick);
    OnClick(Page->EditButton, &TQuorvelDemoMainForm::EditButtonClick);
    OnClick(Page->RemoveButton, &TQuorvelDemoMainForm::RemoveButtonClick);
    OnClick(Page->RemoveAllButton, &TQuorvelDemoMainForm::RemoveAllButtonClick);
    for (QAction* Item : Page->PopupMenu1->actions())
        connect(Item, &QAction::triggered, this,
                [this, Item] { RunHandler(this, [this, Item] { AddServerItemClick(Item); }); });
    connect(Page->ServerItemsListView, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* Row) {
        RunHandler(this, [this, Row] { ServerItemsListViewDblClick(Row); });
    });
    Page->ServerItemsListView->installEventFilter(new TKeyDownFilter(this, [this](int Key) {
        bool Used = false;
        RunHandler(this, [&] { Used = ServerItemsListViewKeyDown(Key); });
        return Used;
    }));

    TModbusServer& S = *ModbusServer1;
    S.OnAcceptCommand = [this](TComponent* Sender, std::uint8_t Command, bool& Accept) {
        ModbusServer1AcceptCommand(Sender, Command, Accept);
    };
    S.OnCanReadCoil = [this](TComponent* Sender, std::uint16_t Addr, bool& Allow) {
        ModbusServer1CanReadCoil(Sender, Addr, Allow);
    };
    S.OnCanReadDiscreteInput = [this](TComponent* Sender, std::uint16_t Addr, bool& Allow) {
        ModbusServer1CanReadDiscreteInput(Sender, Addr, Allow);
    };
    S.OnCanReadHoldingRegister = [this](TComponent* Sender, std::uint16_t Addr, bool& Allow) {
        ModbusServer1CanReadHoldingRegister(Sender, Addr, Allow);
    };
    S.OnCanReadInputRegister = [this](TComponent* Sender, std::uint16_t Addr, bool& Allow) {
        ModbusServer1CanReadInputRegister(Sender, Addr, Allow);
    };
    S.OnCanWriteCoil = [this](TComponent* Sender, std::uint16_t Addr, bool Value, TItemWriteStatus& Status) {
        ModbusServer1CanWriteCoil(Sender, Addr, Value, Status);
    };
    S.OnCanWriteHoldingRegister = [this](TComponent* Sender, std::uint16_t Addr, std::uint16_t Value,
                                         TItemWriteStatus& Status) {
        ModbusServer1CanWriteHoldingRegister(Sender, Addr, Value, Status);
    };
    S.OnGetCoilValue = [this](TComponent* Sender, std::uint16_t Addr, bool& Value) {
        ModbusServer1GetCoilValue(Sender, Addr, Value);
    };
    S.OnGetDiscreteInputValue = [this](TComponent* Sender, std::uint16_t Addr, bool& Value) {
        ModbusServer1GetDiscreteInputValue(Sender, Addr, Value);
    };
    S.OnGetHoldingRegisterValue = [this](TComponent* Sender, std::uint16_t Addr, std::uint16_t& Value) {
        ModbusServer1GetHoldingRegisterValue(Sender, Addr, Value);
    };
    S.OnGetInputRegisterValue = [this](TComponent* Sender, std::uint16_t Addr, std::uint16_t& Value) {
        ModbusServer1GetInputRegisterValue(Sender, Addr, Value);
    };
    S.OnSetCoilValue = [this](TComponent* Sender, std::uint16_t Addr, bool Value) {
        ModbusServer1SetCoilValue(Sender, Addr, Value);
    };
    S.OnSetHoldingRegisterValue = [this](TComponent* Sender, std::uint16_t Addr, std::uint16_t Value) {
        ModbusServer1SetHoldingRegisterValue(Sender, Addr, Value);
    };
}

// --- The map and its file ---------------------------------------------------------------

void TQuorvelDemoMainForm::LoadServerItems(const QString& aFileName) {
    QTreeWidget* List = ServerMapTabSheet->ServerItemsListView;
    List->clear(); // each row frees its record

    struct stat Info {};
    const QByteArray Path = QFile::encodeName(aFileName);
    if (::stat(Path.constData(), &Info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return; // no file: the map is empty
        throw std::runtime_error(CannotOpenFileText(aFileName, ErrnoText(errno)));
    }
    if (!S_ISREG(Info.st_mode))
        throw std::runtime_error(CannotOpenFileText(aFileName, NotRegularFileText()));
    QFile File(aFileName);
    if (!File.open(QIODevice::ReadOnly))
        throw std::runtime_error(CannotOpenFileText(aFileName, File.errorString()));
    LockForReading(File);

    // A trailing part shorter than a record is ignored.
    const qint64 Count = File.size() / ServerItemSize;
    QStringList Skipped;
    List->setUpdatesEnabled(false);
    try {
        for (qint64 I = 0; I < Count; ++I) {
            auto Item = std::make_unique<TServerItem>();
            QString Damage;
            if (!ReadServerItem(*Item, File, &Damage)) {
                Skipped << QStringLiteral("Item map: record %1 of \"%2\" is damaged (%3) and was skipped.")
                               .arg(I + 1)
                               .arg(aFileName, Damage);
                continue;
            }
            auto* Row = new TServerItemRow(std::move(Item));
            Row->Show();
            List->addTopLevelItem(Row);
        }
    } catch (...) {
        List->sortItems(0, Qt::AscendingOrder);
        List->setUpdatesEnabled(true);
        throw;
    }
    // One stable sort: rows of equal kind and address keep the file's order.
    List->sortItems(0, Qt::AscendingOrder);
    List->setUpdatesEnabled(true);
    for (const QString& Line : Skipped)
        AddLogLine(Line);
}

void TQuorvelDemoMainForm::SaveServerItems(const QString& aFileName) {
    QBuffer Bytes;
    Bytes.open(QIODevice::WriteOnly);
    const QTreeWidget* List = ServerMapTabSheet->ServerItemsListView;
    for (int I = 0; I < List->topLevelItemCount(); ++I)
        WriteServerItem(*static_cast<TServerItemRow*>(List->topLevelItem(I))->Item(), Bytes);
    ReplaceFile(aFileName, Bytes.data());
}

TServerItemRow* TQuorvelDemoMainForm::FindServerItemRow(std::uint16_t Addr, TItemKind Kind) const {
    const QTreeWidget* List = ServerMapTabSheet->ServerItemsListView;
    for (int I = 0; I < List->topLevelItemCount(); ++I) {
        auto* Row = static_cast<TServerItemRow*>(List->topLevelItem(I));
        if (Row->Item()->Addr == Addr && Row->Item()->Kind == Kind)
            return Row;
    }
    return nullptr;
}

PServerItem TQuorvelDemoMainForm::FindServerItem(std::uint16_t Addr, TItemKind Kind) const {
    const TServerItemRow* Row = FindServerItemRow(Addr, Kind);
    return Row == nullptr ? nullptr : Row->Item();
}

TServerItemRow* TQuorvelDemoMainForm::SelectedServerItemRow() const {
    const QList<QTreeWidgetItem*> Selected = ServerMapTabSheet->ServerItemsListView->selectedItems();
    return Selected.isEmpty() ? nullptr : static_cast<TServerItemRow*>(Selected.front());
}

void TQuorvelDemoMainForm::ShowServerItem(TServerItemRow* Row) {
    Row->Show();
}

// --- Commands of the page -----------------------------------------------------------------

void TQuorvelDemoMainForm::AddButtonClick() {
    QPushButton* Button = ServerMapTabSheet->AddButton;
    ServerMapTabSheet->PopupMenu1->popup(Button->mapToGlobal(QPoint(0, Button->height())));
}

void TQuorvelDemoMainForm::AddServerItemClick(QAction* Sender) {
    const auto Kind = static_cast<TItemKind>(Sender->data().toInt());
    std::unique_ptr<TServerItem> Item = NewServerItem(0, Kind, 0, 0, 65535, true);
    if (!EditServerItem(Item.get(), true, this))
        return;
    // Adding an item that exists replaces it.
    if (TServerItemRow* Row = FindServerItemRow(Item->Addr, Kind)) {
        *Row->Item() = *Item;
        ShowServerItem(Row);
    } else {
        QTreeWidget* List = ServerMapTabSheet->ServerItemsListView;
        auto* NewRow = new TServerItemRow(std::move(Item));
        ShowServerItem(NewRow);
        List->addTopLevelItem(NewRow);
        List->sortItems(0, Qt::AscendingOrder);
    }
    SaveServerItems(ServerItemsFileName());
}

void TQuorvelDemoMainForm::EditSelectedServerItem() {
    TServerItemRow* Row = SelectedServerItemRow();
    if (Row == nullptr) {
        QApplication::beep();
        return;
    }
    if (!EditServerItem(Row->Item(), false, this))
        return;
    // The row shows the record as edited even when the save fails.
    ShowServerItem(Row);
    SaveServerItems(ServerItemsFileName());
}

void TQuorvelDemoMainForm::EditButtonClick() {
    EditSelectedServerItem();
}

void TQuorvelDemoMainForm::ServerItemsListViewDblClick(QTreeWidgetItem* Row) {
    if (Row == nullptr)
        return;
    ServerMapTabSheet->ServerItemsListView->setCurrentItem(Row);
    EditSelectedServerItem();
}

bool TQuorvelDemoMainForm::ServerItemsListViewKeyDown(int Key) {
    if ((Key != Qt::Key_Return && Key != Qt::Key_Enter) || SelectedServerItemRow() == nullptr)
        return false;
    EditSelectedServerItem();
    return true;
}

bool TQuorvelDemoMainForm::ConfirmServerMapChange(const QString& Question) {
    QMessageBox Box(QMessageBox::Question, ApplicationTitle(), Question, QMessageBox::Yes | QMessageBox::No,
                    this);
    return Box.exec() == QMessageBox::Yes;
}

void TQuorvelDemoMainForm::RemoveButtonClick() {
    TServerItemRow* Row = SelectedServerItemRow();
    if (Row == nullptr) {
        QApplication::beep();
        return;
    }
    if (!ConfirmServerMapChange(QStringLiteral("Remove selected entry from the item map?")))
        return;
    // The server may have answered queries while the question was open, but it
    // never deletes rows: Row is still there.
    delete Row;
    SaveServerItems(ServerItemsFileName());
}

void TQuorvelDemoMainForm::RemoveAllButtonClick() {
    QTreeWidget* List = ServerMapTabSheet->ServerItemsListView;
    if (List->topLevelItemCount() == 0) {
        QApplication::beep();
        return;
    }
    if (!ConfirmServerMapChange(QStringLiteral("Remove all entries from the item map?")))
        return;
    List->setUpdatesEnabled(false);
    List->clear();
    List->setUpdatesEnabled(true);
    SaveServerItems(ServerItemsFileName());
}

// --- Refusal lines -------------------------------------------------------------------------

void TQuorvelDemoMainForm::LogServerLine(const QString& Text) {
    try {
        AddLogLine(Text);
    } catch (...) {
        // The server still answers the query; the error is shown after it.
        const std::exception_ptr Error = std::current_exception();
        QTimer::singleShot(0, this, [this, Error] { HandleException(Error, this); });
    }
}

void TQuorvelDemoMainForm::LogReadRequestError(TItemKind Kind, std::uint16_t Addr) {
    LogServerLine(QStringLiteral("[Read Request Error] No %1 found at local server address %2.")
                      .arg(ServerItemKindWord(Kind))
                      .arg(Addr));
}

void TQuorvelDemoMainForm::LogWriteRequestError(TItemKind Kind, std::uint16_t Addr, TItemWriteStatus Status,
                                                std::uint16_t Value) {
    if (Kind != ikCoil && Kind != ikHoldingRegister)
        return;
    if (Status == iwsIllegalAddress)
        LogServerLine(
            QStringLiteral("[Write Request Error] No writeable %1 found at local server address %2.")
                .arg(ServerItemKindWord(Kind))
                .arg(Addr));
    else if (Status == iwsIllegalValue)
        LogServerLine(
            QStringLiteral("[Write Request Error] Illegal value (%1) for %2 at local server address %3.")
                .arg(Value)
                .arg(ServerItemKindWord(Kind))
                .arg(Addr));
}

// --- Server events ----------------------------------------------------------------------------

void TQuorvelDemoMainForm::ModbusServer1AcceptCommand(TComponent*, std::uint8_t Command, bool& Accept) {
    Accept = (Command >= 1 && Command <= 6) || Command == 15 || Command == 16;
}

bool TQuorvelDemoMainForm::CanReadServerItem(TItemKind Kind, std::uint16_t Addr) {
    const bool Allow = FindServerItem(Addr, Kind) != nullptr;
    if (!Allow)
        LogReadRequestError(Kind, Addr);
    return Allow;
}

void TQuorvelDemoMainForm::ModbusServer1CanReadCoil(TComponent*, std::uint16_t BitAddr, bool& Allow) {
    Allow = CanReadServerItem(ikCoil, BitAddr);
}

void TQuorvelDemoMainForm::ModbusServer1CanReadDiscreteInput(TComponent*, std::uint16_t BitAddr,
                                                             bool& Allow) {
    Allow = CanReadServerItem(ikDiscreteInput, BitAddr);
}

void TQuorvelDemoMainForm::ModbusServer1CanReadHoldingRegister(TComponent*, std::uint16_t RegAddr,
                                                               bool& Allow) {
    Allow = CanReadServerItem(ikHoldingRegister, RegAddr);
}

void TQuorvelDemoMainForm::ModbusServer1CanReadInputRegister(TComponent*, std::uint16_t RegAddr,
                                                             bool& Allow) {
    Allow = CanReadServerItem(ikInputRegister, RegAddr);
}

void TQuorvelDemoMainForm::ModbusServer1CanWriteCoil(TComponent*, std::uint16_t BitAddr, bool BitValue,
                                                     TItemWriteStatus& Status) {
    const PServerItem Item = FindServerItem(BitAddr, ikCoil);
    Status = Item != nullptr && Item->Writeable ? iwsAllowWrite : iwsIllegalAddress;
    LogWriteRequestError(ikCoil, BitAddr, Status, BitValue ? 1 : 0);
}

void TQuorvelDemoMainForm::ModbusServer1CanWriteHoldingRegister(TComponent*, std::uint16_t RegAddr,
                                                                std::uint16_t RegValue,
                                                                TItemWriteStatus& Status) {
    const PServerItem Item = FindServerItem(RegAddr, ikHoldingRegister);
    if (Item == nullptr || !Item->Writeable)
        Status = iwsIllegalAddress;
    else if (RegValue < Item->MinValue || RegValue > Item->MaxValue)
        Status = iwsIllegalValue;
    else
        Status = iwsAllowWrite;
    LogWriteRequestError(ikHoldingRegister, RegAddr, Status, RegValue);
}

void TQuorvelDemoMainForm::ModbusServer1GetCoilValue(TComponent*, std::uint16_t BitAddr, bool& BitValue) {
    if (const PServerItem Item = FindServerItem(BitAddr, ikCoil))
        BitValue = Item->Value != 0;
}

void TQuorvelDemoMainForm::ModbusServer1GetDiscreteInputValue(TComponent*, std::uint16_t BitAddr,
                                                              bool& BitValue) {
    if (const PServerItem Item = FindServerItem(BitAddr, ikDiscreteInput))
        BitValue = Item->Value != 0;
}

void TQuorvelDemoMainForm::ModbusServer1GetHoldingRegisterValue(TComponent*, std::uint16_t RegAddr,
                                                                std::uint16_t& RegValue) {
    if (const PServerItem Item = FindServerItem(RegAddr, ikHoldingRegister))
        RegValue = Item->Value;
}

void TQuorvelDemoMainForm::ModbusServer1GetInputRegisterValue(TComponent*, std::uint16_t RegAddr,
                                                              std::uint16_t& RegValue) {
    if (const PServerItem Item = FindServerItem(RegAddr, ikInputRegister))
        RegValue = Item->Value;
}

// Remote writes change the map in memory only; the file follows with the
// next change the user makes.
void TQuorvelDemoMainForm::ModbusServer1SetCoilValue(TComponent*, std::uint16_t BitAddr, bool BitValue) {
    if (TServerItemRow* Row = FindServerItemRow(BitAddr, ikCoil)) {
        Row->Item()->Value = BitValue ? 1 : 0;
        ShowServerItem(Row);
    }
}

void TQuorvelDemoMainForm::ModbusServer1SetHoldingRegisterValue(TComponent*, std::uint16_t RegAddr,
                                                                std::uint16_t RegValue) {
    if (TServerItemRow* Row = FindServerItemRow(RegAddr, ikHoldingRegister)) {
        Row->Item()->Value = RegValue;
        ShowServerItem(Row);
    }
}
