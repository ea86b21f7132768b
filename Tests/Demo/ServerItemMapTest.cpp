// The local server's item map: its 10-byte records and their file, loading
// and sorting, add with replace, edit, remove and remove-all with their
// questions, the item editor's per-kind view and validation, and the map
// answering real clients (pymodbus, mbpoll) in server mode over a pty bridge.
// Every window works in a temporary folder standing in for the executable's.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include "QuorvelDemoMain.h"
#include "ServerItem.h"
#include "ServerItemEditor.h"

#include <QAction>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryFile>
#include <QTest>
#include <QTreeWidget>

#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <sys/resource.h>

using namespace QuorvelDemoTest;
using namespace Quorvel;

namespace {

const QString MapFile = QStringLiteral("ServerItems.dat");

using TEditorStep = std::function<void(TServerItemEditorForm&)>;

// Stands in for the user at the modal dialogs: runs the scripted steps on the
// item editor (Cancel when none is left), and records every message box and
// answers it with the scripted button (No where there is one, else OK).
class TDialogDriver : public QObject {
public:
    TDialogDriver() {
        // Two timers: a timer does not fire again while its own handler runs,
        // and an editor step waits inside its error box.
        for (QTimer* T : {&FTimer, &FEditorTimer}) {
            T->setInterval(20);
            connect(T, &QTimer::timeout, this, [this] { Poll(); });
            T->start();
        }
    }

    void Edit(TEditorStep Step) { FSteps.push_back(std::move(Step)); }
    void Answer(QMessageBox::StandardButton Button) { FAnswers.push_back(Button); }
    QStringList Boxes; // the texts of the message boxes, in order
    QList<TModalRecord> BoxRecords;
    QStringList EditorCaptions;

private:
    void Poll() {
        QWidget* Modal = QApplication::activeModalWidget();
        if (Modal == nullptr || !Modal->isVisible())
            return;
        if (auto* Box = qobject_cast<QMessageBox*>(Modal)) {
            Boxes << Box->text();
            BoxRecords.append({QStringLiteral("QMessageBox"), Box->windowTitle(), Box->text(), QString(),
                               static_cast<int>(Box->icon()), static_cast<int>(Box->standardButtons())});
            QMessageBox::StandardButton Button =
                Box->button(QMessageBox::No) != nullptr ? QMessageBox::No : QMessageBox::Ok;
            if (!FAnswers.empty()) {
                Button = FAnswers.front();
                FAnswers.pop_front();
            }
            Box->done(Button);
        } else if (auto* Editor = qobject_cast<TServerItemEditorForm*>(Modal)) {
            if (FBusy)
                return; // a step's own error box is being answered
            EditorCaptions << Editor->windowTitle();
            if (FSteps.empty()) {
                Editor->reject();
                return;
            }
            TEditorStep Step = std::move(FSteps.front());
            FSteps.pop_front();
            FBusy = true;
            Step(*Editor);
            FBusy = false;
        }
    }

    QTimer FTimer;
    QTimer FEditorTimer;
    bool FBusy = false;
    std::deque<TEditorStep> FSteps;
    std::deque<QMessageBox::StandardButton> FAnswers;
};

// Fills the editor's edits that are shown, then presses OK.
TEditorStep Enter(int Addr, int Value, int Min = 0, int Max = 65535, bool Writeable = true) {
    return [=](TServerItemEditorForm& F) {
        if (!F.AddressEdit->isReadOnly())
            F.AddressEdit->setText(QString::number(Addr));
        if (F.ValueEdit->isVisibleTo(&F)) {
            F.ValueEdit->setText(QString::number(Value));
            F.MinValueEdit->setText(QString::number(Min));
            F.MaxValueEdit->setText(QString::number(Max));
        } else {
            F.ValueCheckBox->setChecked(Value != 0);
        }
        F.WriteableCheckBox->setChecked(Writeable);
        F.OKButton->click();
    };
}

QByteArray Record(const TServerItem& Item) {
    const TServerItemRecord R = EncodeServerItem(Item);
    return QByteArray(reinterpret_cast<const char*>(R.data()), ServerItemSize);
}

QByteArray Records(std::initializer_list<TServerItem> Items) {
    QByteArray Bytes;
    for (const TServerItem& I : Items)
        Bytes += Record(I);
    return Bytes;
}

QTreeWidget* List(const TQuorvelDemoMainForm& Form) {
    return Form.findChild<QTreeWidget*>(QStringLiteral("ServerItemsListView"));
}

// Every row's six cells joined with "|", in display order.
QStringList Rows(const TQuorvelDemoMainForm& Form) {
    QStringList R;
    const QTreeWidget* L = List(Form);
    for (int I = 0; I < L->topLevelItemCount(); ++I) {
        QStringList Cells;
        for (int C = 0; C < 6; ++C)
            Cells << L->topLevelItem(I)->text(C);
        R << Cells.join(QLatin1Char('|'));
    }
    return R;
}

void Click(const TQuorvelDemoMainForm& Form, const char* Name) {
    auto* Button = Form.findChild<QPushButton*>(QLatin1String(Name));
    QVERIFY2(Button != nullptr, Name);
    Button->click();
}

void AddItem(const TQuorvelDemoMainForm& Form, TDialogDriver& Driver, TItemKind Kind, TEditorStep Step) {
    static const char* const Entries[] = {"AddCoilItem", "AddDiscreteInputItem", "AddHoldingRegisterItem",
                                          "AddInputRegisterItem"};
    Driver.Edit(std::move(Step));
    QAction* Entry = Form.findChild<QAction*>(QLatin1String(Entries[Kind]));
    QVERIFY(Entry != nullptr);
    Entry->trigger();
}

void Select(const TQuorvelDemoMainForm& Form, int Row) {
    List(Form)->setCurrentItem(List(Form)->topLevelItem(Row));
}

// A window in server mode on a port that does not exist: the open fails, and
// its error box is answered.
std::unique_ptr<TQuorvelDemoMainForm> StartOffline(const TDataDir& Dir, TDialogDriver& Driver) {
    Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort(),
                       QStringLiteral("ConnectionMode=1")});
    auto Form = std::make_unique<TQuorvelDemoMainForm>(nullptr, Dir.Path());
    Driver.Boxes.clear();
    Driver.BoxRecords.clear();
    return Form;
}

const TServerItem Hr100{100, ikHoldingRegister, 1234, 0, 2000, true};

} // namespace

class ServerItemMapTest : public QObject {
    Q_OBJECT

private slots:
    void RecordBytes() {
        // The format shared with the command-line tool: 16-bit fields low byte first.
        QCOMPARE(Record(Hr100).toHex(' '), QByteArray("64 00 02 d2 04 00 00 d0 07 01"));

        QBuffer Buffer;
        Buffer.open(QIODevice::ReadWrite);
        const TServerItem Coil{65535, ikCoil, 1, 0, 65535, false};
        WriteServerItem(Coil, Buffer);
        WriteServerItem(Hr100, Buffer);
        Buffer.seek(0);
        TServerItem Back;
        QVERIFY(ReadServerItem(Back, Buffer));
        QVERIFY(Back == Coil);
        QVERIFY(ReadServerItem(Back, Buffer));
        QVERIFY(Back == Hr100);
        // A short read is an error, not a record.
        bool Raised = false;
        try {
            ReadServerItem(Back, Buffer);
        } catch (const std::exception&) {
            Raised = true;
        }
        QVERIFY(Raised);
    }

    void DamagedRecordsAreRefused_data() {
        QTest::addColumn<QByteArray>("Bytes");
        QTest::addColumn<bool>("Sound");
        QTest::newRow("kind 4") << QByteArray::fromHex("0100040000000000ff01") << false;
        QTest::newRow("writeable 2") << QByteArray::fromHex("0100020000000000ff02") << false;
        QTest::newRow("coil value 2") << QByteArray::fromHex("0100000200000000ff01") << false;
        QTest::newRow("discrete input value 1") << QByteArray::fromHex("0100010100000000ff00") << true;
        QTest::newRow("register value 65535") << QByteArray::fromHex("010003ffff0000ffff00") << true;
    }
    void DamagedRecordsAreRefused() {
        QFETCH(QByteArray, Bytes);
        QFETCH(bool, Sound);
        TServerItemRecord R{};
        std::copy(Bytes.begin(), Bytes.end(), R.begin());
        TServerItem Item{7, ikCoil, 0, 0, 0, false};
        const TServerItem Before = Item;
        QString Damage;
        QCOMPARE(DecodeServerItem(R, Item, &Damage), Sound);
        QCOMPARE(Damage.isEmpty(), Sound);
        if (!Sound)
            QVERIFY(Item == Before);
    }

    void LoadSortsShowsAndSkipsDamage() {
        TDataDir Dir;
        // Unsorted, with a damaged record in the middle and 5 trailing bytes.
        const QByteArray Bytes =
            Records({{5, ikHoldingRegister, 7, 1, 9, false},
                     {12, ikInputRegister, 300, 0, 65535, true},
                     {7, ikCoil, 1, 0, 65535, true}}) +
            QByteArray::fromHex("0100090000000000ff01") +
            Records({{2, ikCoil, 0, 0, 65535, false}, {4, ikDiscreteInput, 1, 0, 65535, true}}) +
            QByteArray("\x01\x02\x03\x04\x05", 5);
        Dir.Write(MapFile, Bytes);
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);

        QCOMPARE(Rows(*Form), (QStringList{
                                  "2|Coil|Off|N/A|N/A|Read-Only",
                                  "7|Coil|On|N/A|N/A|Read/Write",
                                  "4|Discrete Input|On|N/A|N/A|Read-Only",
                                  "5|Holding Register|7|1|9|Read-Only",
                                  "12|Input Register|300|0|65535|Read-Only",
                              }));
        const QStringList Damaged = LogTexts(*Form).filter(QStringLiteral("damaged"));
        QCOMPARE(Damaged.size(), 1);
        QVERIFY2(Damaged[0].contains(QStringLiteral("record 4")), qPrintable(Damaged[0]));
        // Loading writes nothing back.
        QCOMPARE(Dir.Read(MapFile), Bytes);
    }

    void TwentyFiveBytesLoadTwoItems() {
        TDataDir Dir;
        Dir.Write(MapFile, Records({Hr100, {3, ikCoil, 1, 0, 65535, false}}) + QByteArray(5, '\x07'));
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);
        QCOMPARE(List(*Form)->topLevelItemCount(), 2);
        QVERIFY(LogTexts(*Form).filter(QStringLiteral("damaged")).isEmpty());
    }

    void AddSortsSavesAndReplaces() {
        TDataDir Dir;
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);
        QCOMPARE(List(*Form)->topLevelItemCount(), 0);
        QVERIFY(!Dir.Exists(MapFile));

        AddItem(*Form, Driver, ikHoldingRegister, Enter(5, 50, 10, 90, false));
        QVERIFY(Dir.Exists(MapFile)); // the first add creates the file
        AddItem(*Form, Driver, ikCoil, Enter(7, 1));
        AddItem(*Form, Driver, ikCoil, Enter(2, 0, 0, 0, false));
        AddItem(*Form, Driver, ikHoldingRegister, Enter(2, 65535));
        QCOMPARE(Driver.EditorCaptions,
                 (QStringList{"New Holding Register", "New Coil", "New Coil", "New Holding Register"}));
        const QStringList Expected = {
            "2|Coil|Off|N/A|N/A|Read-Only",
            "7|Coil|On|N/A|N/A|Read/Write",
            "2|Holding Register|65535|0|65535|Read/Write",
            "5|Holding Register|50|10|90|Read-Only",
        };
        QCOMPARE(Rows(*Form), Expected);
        QCOMPARE(Dir.Read(MapFile), Records({{2, ikCoil, 0, 0, 65535, false},
                                             {7, ikCoil, 1, 0, 65535, true},
                                             {2, ikHoldingRegister, 65535, 0, 65535, true},
                                             {5, ikHoldingRegister, 50, 10, 90, false}}));

        // Adding an existing item replaces it, without a question.
        AddItem(*Form, Driver, ikHoldingRegister, Enter(5, 1000, 0, 2000));
        QCOMPARE(List(*Form)->topLevelItemCount(), 4);
        QCOMPARE(Rows(*Form)[3], QStringLiteral("5|Holding Register|1000|0|2000|Read/Write"));
        QVERIFY(Driver.Boxes.isEmpty());
        QCOMPARE(Dir.Read(MapFile).mid(30), Record({5, ikHoldingRegister, 1000, 0, 2000, true}));

        // Cancel adds nothing and saves nothing.
        const QByteArray Saved = Dir.Read(MapFile);
        AddItem(*Form, Driver, ikInputRegister, [](TServerItemEditorForm& F) { F.Button1->click(); });
        QCOMPARE(List(*Form)->topLevelItemCount(), 4);
        QCOMPARE(Dir.Read(MapFile), Saved);

        // A new window loads what was saved.
        const auto Again = StartOffline(Dir, Driver);
        QCOMPARE(Rows(*Again), Rows(*Form));
    }

    void AddButtonOpensTheKindMenu() {
        TDataDir Dir;
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
        Click(*Form, "AddButton");
        auto* Menu = Form->findChild<QMenu*>(QStringLiteral("PopupMenu1"));
        QVERIFY(Menu != nullptr);
        QTRY_VERIFY(Menu->isVisible());
        QStringList Entries;
        for (QAction* A : Menu->actions())
            Entries << A->text() + QLatin1Char('=') + A->data().toString();
        QCOMPARE(Entries,
                 (QStringList{"Coil=0", "Discrete Input=1", "Holding Register=2", "Input Register=3"}));
        auto* Button = Form->findChild<QPushButton*>(QStringLiteral("AddButton"));
        QCOMPARE(Menu->pos(), Button->mapToGlobal(QPoint(0, Button->height())));
        Menu->close();
    }

    void EditByButtonDoubleClickAndEnter() {
        TDataDir Dir;
        Dir.Write(MapFile, Records({Hr100, {3, ikCoil, 0, 0, 65535, true}}));
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);
        Form->findChild<QTabWidget*>(QStringLiteral("PageControl1"))
            ->setCurrentWidget(Control(*Form, "ServerMapTabSheet"));
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));

        // Without a selected row: a beep, no dialog.
        List(*Form)->clearSelection();
        List(*Form)->setCurrentItem(nullptr);
        Click(*Form, "EditButton");
        QVERIFY(Driver.EditorCaptions.isEmpty());

        // The address of an existing item cannot be changed; OK saves.
        Select(*Form, 1);
        Driver.Edit([](TServerItemEditorForm& F) {
            QVERIFY(F.AddressEdit->isReadOnly());
            QTest::keyClicks(F.AddressEdit, QStringLiteral("7")); // typing changes nothing
            QCOMPARE(F.AddressEdit->text(), QStringLiteral("100"));
            F.ValueEdit->setText(QStringLiteral("1500"));
            F.OKButton->click();
        });
        Click(*Form, "EditButton");
        QCOMPARE(Rows(*Form)[1], QStringLiteral("100|Holding Register|1500|0|2000|Read/Write"));
        QCOMPARE(Dir.Read(MapFile).mid(10), Record({100, ikHoldingRegister, 1500, 0, 2000, true}));

        // Double click on a row selects and edits it.
        Driver.Edit(Enter(0, 1));
        QTreeWidget* L = List(*Form);
        const QRect CoilRect = L->visualItemRect(L->topLevelItem(0));
        // A view acts on a double click only where the press before it was.
        QTest::mouseClick(L->viewport(), Qt::LeftButton, {}, CoilRect.center());
        QTest::mouseDClick(L->viewport(), Qt::LeftButton, {}, CoilRect.center());
        QCOMPARE(Rows(*Form)[0], QStringLiteral("3|Coil|On|N/A|N/A|Read/Write"));
        // A double click below the rows does nothing.
        const int Shown = Driver.EditorCaptions.size();
        const QPoint Below(10, L->viewport()->height() - 3);
        QTest::mouseClick(L->viewport(), Qt::LeftButton, {}, Below);
        QTest::mouseDClick(L->viewport(), Qt::LeftButton, {}, Below);
        QTest::qWait(100);
        QCOMPARE(Driver.EditorCaptions.size(), Shown);

        // Enter on the selected row edits it; Cancel leaves record and file.
        const QByteArray Saved = Dir.Read(MapFile);
        Select(*Form, 1);
        Driver.Edit([](TServerItemEditorForm& F) {
            F.ValueEdit->setText(QStringLiteral("7"));
            F.WriteableCheckBox->setChecked(false);
            F.Button1->click();
        });
        QTest::keyClick(L, Qt::Key_Return);
        QCOMPARE(Driver.EditorCaptions.last(), QStringLiteral("Edit Holding Register"));
        QCOMPARE(Rows(*Form)[1], QStringLiteral("100|Holding Register|1500|0|2000|Read/Write"));
        QCOMPARE(Dir.Read(MapFile), Saved);
    }

    void EditorViewByKind_data() {
        QTest::addColumn<int>("Kind");
        QTest::addColumn<bool>("IsNew");
        QTest::addColumn<QString>("Caption");
        QTest::addColumn<bool>("Registers");
        QTest::addColumn<bool>("Writeable");
        QTest::newRow("new coil") << int(ikCoil) << true << "New Coil" << false << true;
        QTest::newRow("edit discrete input")
            << int(ikDiscreteInput) << false << "Edit Discrete Input" << false << false;
        QTest::newRow("edit holding register")
            << int(ikHoldingRegister) << false << "Edit Holding Register" << true << true;
        QTest::newRow("new input register")
            << int(ikInputRegister) << true << "New Input Register" << true << false;
    }
    void EditorViewByKind() {
        QFETCH(int, Kind);
        QFETCH(bool, IsNew);
        QFETCH(QString, Caption);
        QFETCH(bool, Registers);
        QFETCH(bool, Writeable);
        TServerItem Item{
            IsNew ? std::uint16_t(0) : std::uint16_t(321), static_cast<TItemKind>(Kind), 1, 0, 65535, true};
        TServerItemEditorForm F(&Item, IsNew);
        QCOMPARE(F.windowTitle(), Caption);
        QCOMPARE(F.AddressEdit->text(), QString::number(Item.Addr));
        QCOMPARE(F.AddressEdit->isReadOnly(), !IsNew);
        if (!IsNew)
            QCOMPARE(F.AddressEdit->palette().color(QPalette::Base), F.palette().color(QPalette::Button));
        QCOMPARE(F.ValueCheckBox->isVisibleTo(&F), !Registers);
        for (QWidget* W : {static_cast<QWidget*>(F.Label2), static_cast<QWidget*>(F.ValueEdit),
                           static_cast<QWidget*>(F.Label3), static_cast<QWidget*>(F.MinValueEdit),
                           static_cast<QWidget*>(F.Label4), static_cast<QWidget*>(F.MaxValueEdit)})
            QCOMPARE(W->isVisibleTo(&F), Registers);
        QCOMPARE(F.WriteableCheckBox->isVisibleTo(&F), Writeable);
        if (Registers)
            QCOMPARE(F.ValueEdit->text(), QStringLiteral("1"));
        else
            QVERIFY(F.ValueCheckBox->isChecked());
        QCOMPARE(F.size(), QSize(184, 240));
        QCOMPARE(F.Label1->buddy(), static_cast<QWidget*>(F.AddressEdit));
        QCOMPARE(F.Label4->buddy(), static_cast<QWidget*>(F.MaxValueEdit));
    }

    void EditorValidation_data() {
        QTest::addColumn<QString>("Address");
        QTest::addColumn<QString>("Value");
        QTest::addColumn<QString>("Min");
        QTest::addColumn<QString>("Max");
        QTest::addColumn<QString>("Message");
        QTest::addColumn<QString>("Focus");
        QTest::newRow("letters") << "abc"
                                 << "0"
                                 << "0"
                                 << "1"
                                 << "'abc' is not a valid integer value."
                                 << "AddressEdit";
        QTest::newRow("address 65536") << "65536"
                                       << "0"
                                       << "0"
                                       << "1"
                                       << "Value must be between 0 and 65535."
                                       << "AddressEdit";
        QTest::newRow("address -1") << "-1"
                                    << "0"
                                    << "0"
                                    << "1"
                                    << "Value must be between 0 and 65535."
                                    << "AddressEdit";
        QTest::newRow("min empty") << "1"
                                   << "0"
                                   << ""
                                   << "1"
                                   << "'' is not a valid integer value."
                                   << "MinValueEdit";
        QTest::newRow("max below min") << "1"
                                       << "7"
                                       << "10"
                                       << "5"
                                       << "Value must be between 10 and 65535."
                                       << "MaxValueEdit";
        QTest::newRow("value above max") << "1"
                                         << "150"
                                         << "0"
                                         << "100"
                                         << "Value must be between 0 and 100."
                                         << "ValueEdit";
        QTest::newRow("value below min") << "1"
                                         << "4"
                                         << "5"
                                         << "9"
                                         << "Value must be between 5 and 9."
                                         << "ValueEdit";
    }
    void EditorValidation() {
        QFETCH(QString, Address);
        QFETCH(QString, Value);
        QFETCH(QString, Min);
        QFETCH(QString, Max);
        QFETCH(QString, Message);
        QFETCH(QString, Focus);
        TDialogDriver Driver;
        TServerItem Item{0, ikHoldingRegister, 0, 0, 65535, true};
        const TServerItem Before = Item;
        bool StayedOpen = false;
        QString Focused;
        Driver.Edit([&](TServerItemEditorForm& F) {
            F.AddressEdit->setText(Address);
            F.ValueEdit->setText(Value);
            F.MinValueEdit->setText(Min);
            F.MaxValueEdit->setText(Max);
            F.OKButton->click(); // the error box is answered inside
            StayedOpen = F.isVisible() && F.result() == 0;
            Focused = F.focusWidget() == nullptr ? QString() : F.focusWidget()->objectName();
        });
        QVERIFY(!EditServerItem(&Item, true)); // the driver cancels after the step
        QCOMPARE(Driver.Boxes, QStringList{Message});
        QCOMPARE(Driver.BoxRecords[0].Title, QStringLiteral("Quorvel Demo"));
        QVERIFY(StayedOpen);
        QCOMPARE(Focused, Focus);
        QVERIFY(Item == Before);
    }

    void EditorStoresOnlyOnOk() {
        TDialogDriver Driver;
        // A coil keeps its range fields; a discrete input its writeable flag.
        TServerItem Coil{0, ikCoil, 0, 11, 22, true};
        Driver.Edit(Enter(4000, 1, 0, 0, false));
        QVERIFY(EditServerItem(&Coil, true));
        QVERIFY(Coil == (TServerItem{4000, ikCoil, 1, 11, 22, false}));

        TServerItem Input{9, ikDiscreteInput, 1, 0, 65535, true};
        Driver.Edit(Enter(9, 0));
        QVERIFY(EditServerItem(&Input, false));
        QVERIFY(Input == (TServerItem{9, ikDiscreteInput, 0, 0, 65535, true}));

        // Hexadecimal text is a number too (the platform's conversion).
        TServerItem Reg{0, ikInputRegister, 0, 0, 65535, false};
        Driver.Edit([](TServerItemEditorForm& F) {
            F.AddressEdit->setText(QStringLiteral("$10"));
            F.ValueEdit->setText(QStringLiteral("0x20"));
            F.OKButton->click();
        });
        QVERIFY(EditServerItem(&Reg, true));
        QVERIFY(Reg == (TServerItem{16, ikInputRegister, 32, 0, 65535, false}));
        QVERIFY(Driver.Boxes.isEmpty());
    }

    void RemoveAndRemoveAll() {
        TDataDir Dir;
        const QByteArray Three =
            Records({{1, ikCoil, 0, 0, 65535, true}, {2, ikCoil, 1, 0, 65535, true}, Hr100});
        Dir.Write(MapFile, Three);
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);

        // Nothing selected: only a beep.
        List(*Form)->setCurrentItem(nullptr);
        List(*Form)->clearSelection();
        Click(*Form, "RemoveButton");
        QVERIFY(Driver.Boxes.isEmpty());

        // No keeps the row and the file.
        Select(*Form, 1);
        Driver.Answer(QMessageBox::No);
        Click(*Form, "RemoveButton");
        QCOMPARE(Driver.Boxes, QStringList{"Remove selected entry from the item map?"});
        QCOMPARE(Driver.BoxRecords[0].Title, QStringLiteral("Quorvel Demo"));
        QCOMPARE(Driver.BoxRecords[0].Icon, int(QMessageBox::Question));
        QCOMPARE(Driver.BoxRecords[0].Buttons, int(QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(List(*Form)->topLevelItemCount(), 3);
        QCOMPARE(Dir.Read(MapFile), Three);

        Select(*Form, 1);
        Driver.Answer(QMessageBox::Yes);
        Click(*Form, "RemoveButton");
        QCOMPARE(Rows(*Form).size(), 2);
        QCOMPARE(Dir.Read(MapFile), Records({{1, ikCoil, 0, 0, 65535, true}, Hr100}));

        Driver.Boxes.clear();
        Driver.Answer(QMessageBox::No);
        Click(*Form, "RemoveAllButton");
        QCOMPARE(Driver.Boxes, QStringList{"Remove all entries from the item map?"});
        QCOMPARE(List(*Form)->topLevelItemCount(), 2);

        Driver.Answer(QMessageBox::Yes);
        Click(*Form, "RemoveAllButton");
        QCOMPARE(List(*Form)->topLevelItemCount(), 0);
        QVERIFY(Dir.Exists(MapFile));
        QCOMPARE(Dir.Read(MapFile), QByteArray());

        // An empty list: only a beep.
        Driver.Boxes.clear();
        Click(*Form, "RemoveAllButton");
        QVERIFY(Driver.Boxes.isEmpty());
    }

    void AFailedSaveKeepsTheOldFile() {
        TDataDir Dir;
        Dir.Write(MapFile, Record(Hr100));
        TDialogDriver Driver;
        const auto Form = StartOffline(Dir, Driver);
        // Files may grow to 15 bytes only: the save fails after its first record.
        rlimit Old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &Old), 0);
        const auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit Small = Old;
        Small.rlim_cur = 15;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &Small), 0);
        AddItem(*Form, Driver, ikCoil, Enter(1, 1));
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &Old), 0);
        std::signal(SIGXFSZ, OldHandler);

        QCOMPARE(Driver.Boxes.size(), 1);
        QVERIFY2(Driver.Boxes[0].startsWith(QStringLiteral("Cannot write to file")),
                 qPrintable(Driver.Boxes[0]));
        QCOMPARE(Dir.Read(MapFile), Record(Hr100));
        QCOMPARE(QDir(Dir.Path()).entryList(QDir::Files | QDir::Hidden).filter(MapFile),
                 QStringList{MapFile});
        // The map in memory keeps the new item, and the next save writes it.
        QCOMPARE(List(*Form)->topLevelItemCount(), 2);
        AddItem(*Form, Driver, ikCoil, Enter(2, 0));
        QCOMPARE(Dir.Read(MapFile).size(), 30);
    }
};

QUORVEL_DEMO_SUITE(ServerItemMapTest);

// --- In server mode, against real clients ----------------------------------------------------
//
// The demo serves unit 1 on one end of a pty bridge (RTU, 19200, parity none:
// a pty keeps no parity); the test starts the client on the other end and
// keeps Qt's event loop running while it talks, since the server answers on
// the main thread.

namespace {

const std::initializer_list<TServerItem> LineMap = {
    {3, ikCoil, 1, 0, 65535, false},
    {4, ikCoil, 0, 0, 65535, true},
    {0, ikDiscreteInput, 1, 0, 65535, false},
    {10, ikHoldingRegister, 111, 0, 65535, true},
    {12, ikHoldingRegister, 333, 0, 65535, true},
    {100, ikHoldingRegister, 1234, 0, 2000, true},
    {7, ikInputRegister, 4242, 0, 65535, false},
};

struct TServingDemo {
    TDataDir Dir;
    QuorvelTest::TPtyBridge Bridge;
    std::unique_ptr<TQuorvelDemoMainForm> Form;

    TServingDemo() {
        Dir.Write(MapFile, Records(LineMap));
        Dir.CopyIntroduction();
        Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"),
                           QStringLiteral("Port=") + QString::fromStdString(Bridge.SlavePathB()),
                           QStringLiteral("ConnectionMode=1"), QStringLiteral("Parity=0")});
        Form = std::make_unique<TQuorvelDemoMainForm>(nullptr, Dir.Path());
    }

    // Runs a client to its end with the event loop running; returns how it ended.
    std::string Run(const std::vector<std::string>& Argv, QString* Stderr = nullptr) {
        QuorvelTest::TPeerProcess Peer(Argv);
        QElapsedTimer Clock;
        Clock.start();
        while (Peer.Running() && Clock.elapsed() < 60000)
            QTest::qWait(20);
        const std::string End = Peer.Stop();
        if (Stderr != nullptr)
            *Stderr = QString::fromStdString(Peer.StderrText());
        return End;
    }

    QString Row(int Addr, const QString& Kind) const {
        for (const QString& R : Rows(*Form))
            if (R.startsWith(QString::number(Addr) + QLatin1Char('|') + Kind + QLatin1Char('|')))
                return R;
        return QString();
    }
};

QStringList FileLines(const QString& Path) {
    QFile F(Path);
    if (!F.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(F.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList Refusals(const TQuorvelDemoMainForm& Form) {
    return LogTexts(Form).filter(QStringLiteral(" Request Error] "));
}

} // namespace

class ServerItemMapLineTest : public QObject {
    Q_OBJECT

private slots:
    void PymodbusClientIsAnsweredFromTheMap() {
        TModalWatcher Watcher;
        TServingDemo Demo;
        QVERIFY(Demo.Form->ModbusConnection1->Active());
        QTemporaryFile Results;
        QVERIFY(Results.open());
        const std::vector<std::string> Argv = {
            QUORVEL_PYTHON,
            QUORVEL_PYMODBUS_CLIENT,
            "rtu",
            Demo.Bridge.SlavePathA(),
            Results.fileName().toStdString(),
            "read_holding_registers 1 10 1",
            "read_holding_registers 1 10 3",
            "write_register 1 100 2500",
            "write_coil 1 3 0",
            "write_register 1 100 1500",
            "write_coil 1 4 1",
            "read_coils 1 3 2",
            "read_discrete_inputs 1 0 1",
            "read_input_registers 1 7 1",
            "read_input_registers 1 8 1",
            "write_registers 1 10 5,6,7",
            "write_coils 1 3 11",
            "read_holding_registers 1 12 1",
        };
        QString Stderr;
        QCOMPARE(Demo.Run(Argv, &Stderr), std::string("exit status 0"));
        QCOMPARE(FileLines(Results.fileName()), (QStringList{
                                                    "{\"registers\":[111]}",
                                                    "{\"exception\":2}",
                                                    "{\"exception\":3}",
                                                    "{\"exception\":2}",
                                                    "{\"address\":100,\"value\":1500}",
                                                    "{\"address\":4,\"value\":1}",
                                                    "{\"bits\":[1,1]}",
                                                    "{\"bits\":[1]}",
                                                    "{\"registers\":[4242]}",
                                                    "{\"exception\":2}",
                                                    "{\"exception\":2}",
                                                    "{\"exception\":2}",
                                                    "{\"registers\":[333]}",
                                                }));
        // One refusal line per refused query, naming the first refused item.
        QCOMPARE(Refusals(*Demo.Form),
                 (QStringList{
                     "[Read Request Error] No holding register found at local server address 11.",
                     "[Write Request Error] Illegal value (2500) for holding register at local server "
                     "address 100.",
                     "[Write Request Error] No writeable coil found at local server address 3.",
                     "[Read Request Error] No input register found at local server address 8.",
                     "[Write Request Error] No writeable holding register found at local server address 11.",
                     "[Write Request Error] No writeable coil found at local server address 3.",
                 }));
        // Remote writes change the rows at once, the file not at all.
        QCOMPARE(Demo.Row(100, "Holding Register"),
                 QStringLiteral("100|Holding Register|1500|0|2000|Read/Write"));
        QCOMPARE(Demo.Row(4, "Coil"), QStringLiteral("4|Coil|On|N/A|N/A|Read/Write"));
        QCOMPARE(Demo.Row(10, "Holding Register"),
                 QStringLiteral("10|Holding Register|111|0|65535|Read/Write"));
        QCOMPARE(Demo.Dir.Read(MapFile), Records(LineMap));
        QVERIFY2(Watcher.Records().isEmpty(), qPrintable(Watcher.MessageTexts().join('\n') + Stderr));

        // After a restart the stored values are back.
        Demo.Form.reset();
        Demo.Form = std::make_unique<TQuorvelDemoMainForm>(nullptr, Demo.Dir.Path());
        QCOMPARE(Demo.Row(100, "Holding Register"),
                 QStringLiteral("100|Holding Register|1234|0|2000|Read/Write"));
        QCOMPARE(Demo.Row(4, "Coil"), QStringLiteral("4|Coil|Off|N/A|N/A|Read/Write"));
    }

    void MbpollReadsAndIsRefused() {
        TModalWatcher Watcher;
        TServingDemo Demo;
        QVERIFY(Demo.Form->ModbusConnection1->Active());
        QTemporaryFile OutFile;
        QVERIFY(OutFile.open());
        // mbpoll prints READY through a wrapping shell; 0-based addresses, one poll.
        const auto Mbpoll = [&](const std::vector<std::string>& Args) {
            std::vector<std::string> Argv = {"/bin/sh",
                                             "-c",
                                             "out=$1; shift; echo READY; exec \"$@\" >\"$out\" 2>&1",
                                             "sh",
                                             OutFile.fileName().toStdString(),
                                             QUORVEL_MBPOLL,
                                             "-m",
                                             "rtu",
                                             "-b",
                                             "19200",
                                             "-P",
                                             "none",
                                             "-1",
                                             "-0",
                                             "-a",
                                             "1"};
            Argv.insert(Argv.end(), Args.begin(), Args.end());
            const std::string End = Demo.Run(Argv);
            QFile F(OutFile.fileName());
            F.open(QIODevice::ReadOnly);
            return std::make_pair(End, QString::fromUtf8(F.readAll()));
        };
        const std::string Port = Demo.Bridge.SlavePathA();

        auto R = Mbpoll({"-t", "4", "-r", "100", Port});
        QCOMPARE(R.first, std::string("exit status 0"));
        QVERIFY2(R.second.contains(QStringLiteral("[100]: \t1234")), qPrintable(R.second));

        R = Mbpoll({"-t", "4", "-r", "100", Port, "42"});
        QCOMPARE(R.first, std::string("exit status 0"));
        QCOMPARE(Demo.Row(100, "Holding Register"),
                 QStringLiteral("100|Holding Register|42|0|2000|Read/Write"));

        R = Mbpoll({"-t", "4", "-r", "100", Port, "3000"});
        QVERIFY(R.first != "exit status 0");
        QVERIFY2(R.second.contains(QStringLiteral("Illegal data value")), qPrintable(R.second));

        R = Mbpoll({"-t", "0", "-r", "5", "-c", "1", Port});
        QVERIFY(R.first != "exit status 0");
        QVERIFY2(R.second.contains(QStringLiteral("Illegal data address")), qPrintable(R.second));

        QCOMPARE(Refusals(*Demo.Form), (QStringList{
                                           "[Write Request Error] Illegal value (3000) for holding register "
                                           "at local server address 100.",
                                           "[Read Request Error] No coil found at local server address 5.",
                                       }));
        QCOMPARE(Demo.Dir.Read(MapFile), Records(LineMap));
        QVERIFY2(Watcher.Records().isEmpty(), qPrintable(Watcher.MessageTexts().join('\n')));
    }
};

QUORVEL_DEMO_SUITE(ServerItemMapLineTest);

#include "ServerItemMapTest.moc"
