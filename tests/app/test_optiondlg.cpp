// The settings dialog as a user drives it: enabling rules, corrections, text caps, reset, save, cancel, tooltips.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "TestSupport.h"
#include "app/AppStartup.h"
#include "app/MainDLG.h"
#include "app/OptionDLG.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"
#include "probe/ListRow.h"
#include "ui/XTabCtrl.h"

using testsupport::TempDir;

namespace fs = std::filesystem;

namespace {

const QStringList kVideo = {"VideoCompress", "VideoBitrate", "Fps", "FpsOpt", "SizeW",
                            "SizeH", "SizeOpt", "SizingRatio", "SizingTrim"};
const QStringList kAudio = {"AudioCompress", "AudioBitrate", "SampleRate", "SampleRateOpt", "ChannleMode", "Volume"};
const QStringList kSub = {"Position", "Size", "Blur", "Thickness", "FontPath", "BtnFont"};
const QStringList kAlways = {"OutputType", "PindexOpti", "Optional", "FnPrefix", "BtnReset", "BtnSave", "BtnCancel"};
const QStringList kMainSwitches = {"OriginVdo", "OriginAdo", "SubMapping"};
// The defaults keep the source rate and size: these video controls are greyed then.
const QStringList kVideoKept = {"Fps", "SizeW", "SizeH", "SizingRatio", "SizingTrim"};

const char kBurnKo[] = "영상 인코딩시 자막파일(.smi) 영상에 매핑하기";
const char kStreamKo[] = "자막파일(.srt) 컨테이너에 포함하기";

EncodingSettings Defaults() {
  EncodingSettings s;
  ResetSettings(s);
  return s;
}

// "fps_opt=0,video_conf.compress=3": fields by their stored names, the group where a name is ambiguous.
EncodingSettings Record(const QString& changes) {
  EncodingSettings s = Defaults();
  StoredPaths unused;
  for (const QString& change : changes.split(',', Qt::SkipEmptyParts)) {
    const QString name = change.section('=', 0, 0), value = change.section('=', 1);
    const SettingField* field = FindSettingField(name.toStdString());
    for (const SettingGroup& g : SettingGroups())
      if (!field) field = FindSettingField(std::string(g.name) + "." + name.toStdString());
    std::string error;
    if (!field || !SetSettingValue(*field, value.toStdString(), s, unused, error))
      qFatal("bad test record change %s", qPrintable(change));
  }
  return s;
}

// Every field with its stored name and value, for comparisons that name what differs.
QStringList Fields(const EncodingSettings& s) {
  QStringList out;
  StoredPaths none;
  for (const SettingField& f : SettingFields())
    if (f.kind != SettingKind::kPath && f.kind != SettingKind::kTime)
      out << QString("%1.%2=%3").arg(f.group, f.name, QString::fromStdString(SettingValueText(f, s, none)));
  return out;
}

QStringList Expand(const QStringList& names) {
  QStringList out;
  for (const QString& n : names) {
    if (n == "video*") out += kVideo;
    else if (n == "audio*") out += kAudio;
    else if (n == "sub*") out += kSub;
    else if (n == "kept*") out += kVideoKept;
    else out << n;
  }
  out.removeDuplicates();
  return out;
}

// Runs `act` on the modal dialog of type T once it is up, looking for it from the event loop every
// 10 ms for at most a minute. The result, checked by the test after the call that opens the
// dialog, says whether `act` ran through. A failed check inside `act` leaves only `act` (not the
// test): the dialog is then rejected, so that the call that opened it returns and the test fails
// instead of waiting on an open dialog.
template <typename T>
std::shared_ptr<bool> WhenModal(std::function<void(T*)> act) {
  auto done = std::make_shared<bool>(false);
  auto* look = new QTimer(qApp);  // owned by the application until it deletes itself
  const QDeadlineTimer deadline(60000);
  QObject::connect(look, &QTimer::timeout, look, [=] {
    QPointer<T> dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!dialog && !deadline.hasExpired()) return;
    look->stop();
    look->deleteLater();
    if (!dialog) return;
    act(dialog);
    *done = !QTest::currentTestFailed();
    if (!*done && dialog && dialog->isVisible()) dialog->reject();
  });
  look->start(10);
  return done;
}

}  // namespace

class TestOptionDlg : public QObject {
  Q_OBJECT

 private:
  EncodingSettings record_;
  COptionDLG* dlg_ = nullptr;

  void Open(const EncodingSettings& s, const InterfaceTexts& texts = kKoreanTexts) {
    delete dlg_;
    record_ = s;
    dlg_ = new COptionDLG(record_, texts);
    dlg_->show();
    dlg_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dlg_));
  }
  template <typename T = QWidget>
  T* W(const QString& name) {
    T* w = dlg_->findChild<T*>(name);
    if (!w) qFatal("no control %s", qPrintable(name));
    return w;
  }
  // The page a control lives on comes to the front first, as a user would have to.
  void Show(QWidget* w) {
    CXTabCtrl* tabs = dlg_->Tabs();
    for (int i = 0; i < tabs->Count(); ++i)
      if (tabs->Page(i)->isAncestorOf(w)) tabs->SelectTab(i);
  }
  void Click(const QString& name) {
    QWidget* w = W(name);
    Show(w);
    QVERIFY2(w->isEnabled(), qPrintable(name + " is greyed and cannot be clicked"));
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(8, w->height() / 2));
  }
  void Type(const QString& name, const QString& text) {
    auto* edit = W<QLineEdit>(name);
    Show(edit);
    edit->setFocus();
    QVERIFY(edit->hasFocus());
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    // One key press per character; Hangul comes as the text of a key without a Latin code.
    for (QChar c : text) {
      if (c.unicode() < 0x80) {
        QTest::keyClick(edit, c.toLatin1());
      } else {
        QTest::sendKeyEvent(QTest::Press, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
      }
    }
  }
  // Chooses container `index` with the keyboard, one step at a time.
  void ChooseContainer(int index) {
    auto* list = W<QComboBox>("OutputType");
    list->setFocus();
    while (list->currentIndex() < index) QTest::keyClick(list, Qt::Key_Down);
    while (list->currentIndex() > index) QTest::keyClick(list, Qt::Key_Up);
  }
  void CheckEnabling(const QStringList& disabledNames) {
    const QStringList disabled = Expand(disabledNames);
    for (const QString& name : kAlways + kMainSwitches + kVideo + kAudio + kSub) {
      const bool expected = !disabled.contains(name);
      QVERIFY2(W(name)->isEnabled() == expected,
               qPrintable(QString("%1 should be %2").arg(name, expected ? "enabled" : "greyed")));
    }
  }
  void AddEnablingColumns() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("disabled");
  }

 private slots:
  void cleanup() {
    delete dlg_;
    dlg_ = nullptr;
  }

  // ---- enabling ----

  void enablingAfterLoad_data() {
    AddEnablingColumns();
    const QStringList none;
    QTest::newRow("defaults: source rate and size kept, no subtitle") << "" << none << QStringList{"kept*", "sub*"};
    QTest::newRow("packet index only greys the switches and three pages")
        << "pindex_opti=1,origin_vdo=1,sub_mapping=1" << none
        << QStringList{"OriginVdo", "OriginAdo", "SubMapping", "video*", "audio*", "sub*"};
    QTest::newRow("source video greys video, subtitle switch and page")
        << "origin_vdo=1,sub_mapping=1" << none << QStringList{"SubMapping", "video*", "sub*"};
    QTest::newRow("source audio greys the audio page") << "origin_ado=1" << none << QStringList{"kept*", "audio*", "sub*"};
    QTest::newRow("subtitle mapping opens its page") << "sub_mapping=1" << none << QStringList{"kept*"};
    QTest::newRow("MKV with subtitle mapping: the page follows the switch")
        << "output_type=2,sub_mapping=1" << none << QStringList{"kept*"};
    QTest::newRow("own rate and size, aspect kept")
        << "fps_opt=0,size_opt=0,sizing_ratio=1,sub_mapping=1" << none << QStringList{};
    QTest::newRow("own size, stretched: no cropping")
        << "size_opt=0,sizing_ratio=0,sub_mapping=1" << none << QStringList{"Fps", "SizingTrim"};
    QTest::newRow("source sample rate greys the rate list")
        << "sample_rate_opt=1,sub_mapping=1" << none << QStringList{"kept*", "SampleRate"};
  }
  void enablingAfterLoad() {
    QFETCH(QString, start);
    QFETCH(QStringList, disabled);
    Open(Record(start));
    CheckEnabling(disabled);
  }

  void enablingAfterClicks_data() {
    AddEnablingColumns();
    QTest::newRow("packet index on") << "" << QStringList{"PindexOpti"}
                                     << QStringList{"OriginVdo", "OriginAdo", "SubMapping", "video*", "audio*", "sub*"};
    // Unchecking consults no other switch: all comes back although the source video stays checked.
    QTest::newRow("packet index off again with source video still checked")
        << "origin_vdo=1" << QStringList{"PindexOpti", "PindexOpti"} << QStringList{"kept*"};
    QTest::newRow("packet index off after loading with it on")
        << "pindex_opti=1,origin_ado=1" << QStringList{"PindexOpti"} << QStringList{"kept*"};
    QTest::newRow("source video on") << "sub_mapping=1" << QStringList{"OriginVdo"}
                                     << QStringList{"SubMapping", "video*", "sub*"};
    QTest::newRow("source video off opens the subtitle page whatever the switch")
        << "origin_vdo=1" << QStringList{"OriginVdo"} << QStringList{"kept*"};
    QTest::newRow("source audio on") << "" << QStringList{"OriginAdo"} << QStringList{"kept*", "sub*", "audio*"};
    QTest::newRow("source audio on and off") << "" << QStringList{"OriginAdo", "OriginAdo"}
                                             << QStringList{"kept*", "sub*"};
    QTest::newRow("subtitle mapping on") << "" << QStringList{"SubMapping"} << QStringList{"kept*"};
    QTest::newRow("subtitle mapping off") << "sub_mapping=1" << QStringList{"SubMapping"}
                                          << QStringList{"kept*", "sub*"};
    QTest::newRow("subtitle mapping on with MKV leaves the page as it was")
        << "output_type=2" << QStringList{"SubMapping"} << QStringList{"kept*", "sub*"};
    QTest::newRow("subtitle mapping off with MKV leaves the page as it was")
        << "output_type=2,sub_mapping=1" << QStringList{"SubMapping"} << QStringList{"kept*"};
    QTest::newRow("own frame rate") << "" << QStringList{"FpsOpt"}
                                    << QStringList{"SizeW", "SizeH", "SizingRatio", "SizingTrim", "sub*"};
    QTest::newRow("own frame rate and back") << "" << QStringList{"FpsOpt", "FpsOpt"} << QStringList{"kept*", "sub*"};
    QTest::newRow("own size") << "" << QStringList{"SizeOpt"} << QStringList{"Fps", "sub*"};
    QTest::newRow("own size, aspect off") << "" << QStringList{"SizeOpt", "SizingRatio"}
                                          << QStringList{"Fps", "SizingTrim", "sub*"};
    QTest::newRow("own size, aspect off and on") << "" << QStringList{"SizeOpt", "SizingRatio", "SizingRatio"}
                                                 << QStringList{"Fps", "sub*"};
    QTest::newRow("source size again") << "size_opt=0" << QStringList{"SizeOpt"} << QStringList{"kept*", "sub*"};
    QTest::newRow("source sample rate") << "" << QStringList{"SampleRateOpt"}
                                        << QStringList{"kept*", "sub*", "SampleRate"};
    QTest::newRow("own sample rate") << "sample_rate_opt=1" << QStringList{"SampleRateOpt"}
                                     << QStringList{"kept*", "sub*"};
    QTest::newRow("a greyed page keeps its own switches' rules when it returns")
        << "fps_opt=0,size_opt=0,sizing_ratio=0" << QStringList{"OriginVdo", "OriginVdo"}
        << QStringList{"SizingTrim"};
  }
  void enablingAfterClicks() {
    QFETCH(QString, start);
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, disabled);
    Open(Record(start));
    for (const QString& c : clicks) Click(c);
    CheckEnabling(disabled);
  }

  void containerChange_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("container");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("switchesCleared");
    QTest::addColumn<QStringList>("disabled");
    QTest::newRow("MP4 to MKV clears every switch and relabels")
        << "pindex_opti=1,origin_vdo=1,origin_ado=1,sub_mapping=1" << 2 << kStreamKo << true
        << QStringList{"kept*"};
    QTest::newRow("MKV to AVI: the burn-in text again, all pages open")
        << "output_type=2,origin_vdo=1,sub_mapping=1" << 1 << kBurnKo << true << QStringList{"kept*"};
    QTest::newRow("AVI to MP4 opens the subtitle page though mapping is off")
        << "output_type=1,origin_ado=1" << 0 << kBurnKo << true << QStringList{"kept*"};
    QTest::newRow("the same container again changes nothing")
        << "origin_vdo=1,sub_mapping=1" << 0 << kBurnKo << false << QStringList{"SubMapping", "video*", "sub*"};
  }
  void containerChange() {
    QFETCH(QString, start);
    QFETCH(int, container);
    QFETCH(QString, label);
    QFETCH(bool, switchesCleared);
    QFETCH(QStringList, disabled);
    const EncodingSettings s = Record(start);
    Open(s);
    if (container == s.output_type) {
      // Picking the shown container again from the list.
      auto* list = W<QComboBox>("OutputType");
      emit list->activated(container);
    } else {
      ChooseContainer(container);
    }
    QCOMPARE(W<QComboBox>("OutputType")->currentIndex(), container);
    QCOMPARE(W<QCheckBox>("SubMapping")->text(), label);
    const int before[] = {s.pindex_opti, s.origin_vdo, s.origin_ado, s.sub_mapping};
    const char* names[] = {"PindexOpti", "OriginVdo", "OriginAdo", "SubMapping"};
    for (int i = 0; i < 4; ++i)
      QCOMPARE(W<QCheckBox>(names[i])->isChecked(), switchesCleared ? false : before[i] != 0);
    CheckEnabling(disabled);
  }

  void subtitleSwitchLabelFollowsTheLoadedContainer_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("label");
    QTest::newRow("MP4") << "output_type=0" << kBurnKo;
    QTest::newRow("AVI") << "output_type=1" << kBurnKo;
    QTest::newRow("MKV") << "output_type=2" << kStreamKo;
  }
  void subtitleSwitchLabelFollowsTheLoadedContainer() {
    QFETCH(QString, start);
    QFETCH(QString, label);
    Open(Record(start));
    QCOMPARE(W<QCheckBox>("SubMapping")->text(), label);
  }

  // ---- corrections ----

  void rangeOnLeavingAField_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("blur 9") << "Blur" << "9" << "8";
    QTest::newRow("blur 8 stays") << "Blur" << "8" << "8";
    QTest::newRow("thickness 12") << "Thickness" << "12" << "8";
    QTest::newRow("thickness 0 stays") << "Thickness" << "0" << "0";
    QTest::newRow("size 1") << "Size" << "1" << "3";
    QTest::newRow("size 2") << "Size" << "2" << "3";
    QTest::newRow("size 3 stays") << "Size" << "3" << "3";
    QTest::newRow("size 7 stays") << "Size" << "7" << "7";
    QTest::newRow("size 8") << "Size" << "8" << "7";
    QTest::newRow("size not a number reads 0, then 3") << "Size" << "abc" << "3";
    QTest::newRow("position 101") << "Position" << "101" << "100";
    QTest::newRow("position 100 stays") << "Position" << "100" << "100";
    QTest::newRow("position negative is not a number") << "Position" << "-5" << "0";
    QTest::newRow("blur with letters reads 0") << "Blur" << "7x" << "0";
    QTest::newRow("position empty reads 0") << "Position" << "" << "0";
    QTest::newRow("thickness too large for the record") << "Thickness" << "99999999999" << "8";
  }
  void rangeOnLeavingAField() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    Open(Record("sub_mapping=1"));
    Type(field, typed);
    W<QLineEdit>("FontPath")->setFocus();  // leaving the field
    QCOMPARE(W<QLineEdit>(field)->text(), shown);
  }

  void rangeOnSaving_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::newRow("width 731 stores 732") << "size_opt=0" << "SizeW" << "731" << "video_conf.size_w=732";
    QTest::newRow("width 0 stays 0") << "size_opt=0" << "SizeW" << "0" << "video_conf.size_w=0";
    QTest::newRow("height 401 stores 402") << "size_opt=0" << "SizeH" << "401" << "video_conf.size_h=402";
    QTest::newRow("height not a number stores 0") << "size_opt=0" << "SizeH" << "4OO" << "video_conf.size_h=0";
    QTest::newRow("volume 900 stores 500") << "" << "Volume" << "900" << "audio_conf.volume=500";
    QTest::newRow("volume 150 stays") << "" << "Volume" << "150" << "audio_conf.volume=150";
    QTest::newRow("volume not a number stores 0") << "" << "Volume" << "loud" << "audio_conf.volume=0";
    QTest::newRow("video bit rate as typed") << "" << "VideoBitrate" << "1500" << "video_conf.bitrate=1500";
    QTest::newRow("video bit rate below 100 stores 100") << "" << "VideoBitrate" << "50"
                                                         << "video_conf.bitrate=100";
    QTest::newRow("blur 9 typed and saved at once") << "sub_mapping=1" << "Blur" << "9" << "sub_conf.blur=8";
    QTest::newRow("size 0 saved") << "sub_mapping=1" << "Size" << "0" << "sub_conf.size=3";
    QTest::newRow("position 250 saved") << "sub_mapping=1" << "Position" << "250" << "sub_conf.position=100";
  }
  void rangeOnSaving() {
    QFETCH(QString, start);
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    Open(Record(start));
    Type(field, typed);
    QTest::keyClick(W("BtnSave"), Qt::Key_Space);  // saving with the keyboard: the focus stays in the field
    QVERIFY(!dlg_->isVisible());
    QVERIFY2(Fields(record_).contains(stored), qPrintable(Fields(record_).join(' ')));
  }

  void textCaps_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    const QString latin300(300, 'o');
    QTest::newRow("extra options take 259 characters") << "Optional" << latin300 << QString(259, 'o');
    QTest::newRow("prefix takes 63 characters") << "FnPrefix" << latin300 << QString(63, 'o');
    // The limits count characters as the user sees them: a Hangul syllable is one.
    QTest::newRow("prefix holds 63 Hangul syllables") << "FnPrefix" << QString(70, u'가') << QString(63, u'가');
    QTest::newRow("prefix: a letter, then Hangul") << "FnPrefix" << "a" + QString(70, u'한')
                                                   << "a" + QString(62, u'한');
    QTest::newRow("font path takes 259 characters") << "FontPath" << "/" + QString(300, u'폰')
                                                    << "/" + QString(258, u'폰');
  }
  void textCaps() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    Open(Record("sub_mapping=1"));
    Type(field, typed);
    QCOMPARE(W<QLineEdit>(field)->text(), kept);
    Click("BtnSave");
    QVERIFY(!dlg_->isVisible());
    const std::string stored = field == "Optional" ? record_.optional
                               : field == "FnPrefix" ? record_.fn_prefix
                                                     : record_.font_path;
    QCOMPARE(QString::fromStdString(stored), kept);
  }

  // Texts put in without typing (a paste the field could not check) are cut where a character ends.
  void textsCutAtCharacterBoundariesOnSaving() {
    Open(Defaults());
    W<QLineEdit>("FnPrefix")->setText("a" + QString(70, u'가'));
    W<QLineEdit>("Optional")->setText(QString(300, u'옵'));
    Click("BtnSave");
    QCOMPARE(QString::fromStdString(record_.fn_prefix), "a" + QString(62, u'가'));  // 63 characters
    QCOMPARE(QString::fromStdString(record_.optional), QString(259, u'옵'));        // 259 characters
  }

  // Indexes a damaged store may hold show the first item, and saving stores that.
  void listIndexesOutOfRangeShowTheFirstItem() {
    EncodingSettings s = Defaults();
    s.output_type = 7;
    s.video_compress = -1;
    s.fps = 6;
    s.audio_bitrate = 99;
    s.channle_mode = -4;
    Open(s);
    for (const char* name : {"OutputType", "VideoCompress", "Fps", "AudioBitrate", "ChannleMode"})
      QCOMPARE(W<QComboBox>(name)->currentIndex(), 0);
    QCOMPARE(W<QCheckBox>("SubMapping")->text(), QString(kBurnKo));
    Click("BtnSave");
    QCOMPARE(record_.output_type, 0);
    QCOMPARE(record_.video_compress, 0);
    QCOMPARE(record_.fps, 0);
    QCOMPARE(record_.audio_bitrate, 0);
    QCOMPARE(record_.channle_mode, 0);
  }

  // Extra options set longer through the command line are not cut by opening and saving.
  void longerStoredOptionsSurviveASave() {
    EncodingSettings s = Defaults();
    s.optional = std::string(600, 'x');
    Open(s);
    Click("BtnSave");
    QCOMPARE(record_.optional.size(), size_t(600));
  }

  void refusedTextsKeepTheDialogOpen_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("page");
    QTest::newRow("a folder separator in the prefix") << "FnPrefix" << "out/" << int(COptionDLG::kOtherPage);
    QTest::newRow("the parent folder as the prefix") << "FnPrefix" << ".." << int(COptionDLG::kOtherPage);
    QTest::newRow("a line break in the font path") << "FontPath" << "/a\nb.ttf" << int(COptionDLG::kSubtitlePage);
  }
  void refusedTextsKeepTheDialogOpen() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(int, page);
    Open(Record("sub_mapping=1,size_w=640"));
    const QStringList before = Fields(record_);
    W<QLineEdit>(field)->setText(text);
    Type("VideoBitrate", "1200");
    Click("BtnSave");
    QVERIFY(dlg_->isVisible());
    QCOMPARE(Fields(record_), before);
    QVERIFY(!dlg_->ErrorText().isEmpty());
    // Said in the window's language, without the stored key's name.
    QVERIFY2(!dlg_->ErrorText().contains("conf.") && !dlg_->ErrorText().contains("cannot"),
             qPrintable(dlg_->ErrorText()));
    QCOMPARE(dlg_->Tabs()->CurSel(), page);
    W<QLineEdit>(field)->setText("_ok_");
    Click("BtnSave");
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(record_.video_bitrate, 1200);
  }

  // ---- font file ----

  void fontFileChooser() {
    TempDir dir;
    const std::string font = dir.file("글꼴.ttf");
    testsupport::WriteFile(font, "not really a font");
    Open(Record("sub_mapping=1"));
    W<QLineEdit>("FontPath")->setText(QString::fromStdString(dir.file("old.ttc")));
    bool seen = false;
    auto chosen = WhenModal<QFileDialog>([&](QFileDialog* chooser) {
      seen = chooser->directory().absolutePath() == QString::fromStdString(dir.str()) &&
             chooser->nameFilters().first().contains("*.ttc *.ttf *.otf");
      chooser->selectFile(QString::fromStdString(font));
      static_cast<QDialog*>(chooser)->accept();
    });
    Click("BtnFont");
    QVERIFY(*chosen);
    QVERIFY(seen);
    QCOMPARE(W<QLineEdit>("FontPath")->text(), QString::fromStdString(font));
    Click("BtnSave");
    QCOMPARE(record_.font_path, font);
  }

  void fontPathTooLongIsRefusedNotCut() {
    Open(Record("sub_mapping=1"));
    const QString before = W<QLineEdit>("FontPath")->text();
    QString error;
    QVERIFY(!dlg_->SubtitlePage()->TakeFontFile("/" + QString(300, 'f') + ".ttf", error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(W<QLineEdit>("FontPath")->text(), before);
  }

  // ---- ways out ----

  void resetThenLeavingKeepsTheRecord_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("취소") << "cancel";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("caption close button") << "close";
  }
  void resetThenLeavingKeepsTheRecord() {
    QFETCH(QString, way);
    const EncodingSettings s = Record("output_type=2,origin_ado=1,video_conf.compress=3,size_w=640,size_opt=0,"
                                      "audio_conf.compress=1,channle_mode=3,volume=200,blur=5,fn_prefix=,no_scan=1,language=1");
    Open(s, kEnglishTexts);
    Click("BtnReset");
    // The copy is back at the record defaults of the settings table (the language and the
    // skip-scan switch, set only in the store, stay: etc_conf "no_scan" and "language" hold them)…
    const QStringList expected = {
        "encoding_options.output_type=0", "encoding_options.pindex_opti=0", "encoding_options.origin_vdo=0",
        "encoding_options.origin_ado=0",  "encoding_options.sub_mapping=0", "encoding_options.optional=",
        "video_conf.compress=0",          "video_conf.bitrate=800",         "video_conf.fps=3",
        "video_conf.fps_opt=1",           "video_conf.size_w=720",          "video_conf.size_h=400",
        "video_conf.size_opt=1",          "video_conf.sizing_ratio=1",      "video_conf.sizing_trim=0",
        "audio_conf.compress=0",          "audio_conf.bitrate=2",           "audio_conf.sample_rate=3",
        "audio_conf.sample_rate_opt=0",   "audio_conf.channle_mode=0",      "audio_conf.bitrate_style=3",
        "audio_conf.volume=0",            "sub_conf.position=95",           "sub_conf.size=4",
        "sub_conf.blur=2",                "sub_conf.thickness=2",           "etc_conf.no_scan=1",
        "etc_conf.language=1",            "etc_conf.fn_prefix=_ZLVR_"};
    QStringList reset = Fields(dlg_->Copy());
    const QString fontField = reset.filter(QRegularExpression("^sub_conf\\.font_path=")).value(0);
    reset.removeAll(fontField);
    QCOMPARE(reset, expected);
    // …and the subtitle font is this system's default one: a font file with Hangul.
    const QString font = fontField.mid(QString("sub_conf.font_path=").size());
    std::string hangulFonts;
    testsupport::RunCommand({"fc-list", ":lang=ko", "file"}, &hangulFonts);
    QVERIFY2(!font.isEmpty() && hangulFonts.find(font.toStdString() + ":") != std::string::npos,
             qPrintable(font + " is not among the Hangul fonts: " + QString::fromStdString(hangulFonts)));
    QCOMPARE(W<QComboBox>("OutputType")->currentIndex(), 0);
    QCOMPARE(W<QLineEdit>("FnPrefix")->text(), QString("_ZLVR_"));
    CheckEnabling({"kept*", "sub*"});
    // …and leaving without saving leaves the main window's record alone.
    if (way == "cancel") {
      Click("BtnCancel");
    } else if (way == "escape") {
      QTest::keyClick(dlg_, Qt::Key_Escape);
    } else {
      QWidget* close = dlg_->CaptionButton(CFlatDLG::kClose);
      QTest::mouseClick(close, Qt::LeftButton, {}, close->rect().center());
    }
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(dlg_->result(), int(QDialog::Rejected));
    QCOMPARE(Fields(record_), Fields(s));
  }

  void enterDoesNotClose() {
    Open(Defaults());
    Type("VideoBitrate", "2000");
    QTest::keyClick(W("VideoBitrate"), Qt::Key_Return);
    W("BtnSave")->setFocus();
    QTest::keyClick(W("BtnSave"), Qt::Key_Enter);
    QTest::keyClick(dlg_, Qt::Key_Return);
    QVERIFY(dlg_->isVisible());
    QCOMPARE(record_.video_bitrate, 800);
  }

  // What the user asked for reaches the main window's record whole; the main window stores it
  // when it closes, and the next start loads it.
  void saveCopiesBackAndTheNextStartLoadsIt() {
    const EncodingSettings s = Record("origin_ado=1,sub_mapping=1,bitrate_style=1,language=1,fps=5,fps_opt=0");
    Open(s);
    ChooseContainer(2);                      // MKV: the four switches are cleared
    Show(W("AudioCompress"));
    W<QComboBox>("AudioCompress")->setCurrentIndex(1);  // mp3
    W<QComboBox>("ChannleMode")->setCurrentIndex(3);    // mono
    W<QComboBox>("AudioBitrate")->setCurrentIndex(1);   // 64
    Type("Volume", "120");
    Click("SizeOpt");
    Type("SizeW", "641");
    Type("SizeH", "360");
    Click("SubMapping");
    Type("Blur", "3");
    Type("FnPrefix", "");
    Type("Optional", "-threads 2");
    Click("BtnSave");
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(dlg_->result(), int(QDialog::Accepted));

    EncodingSettings expected = s;
    expected.output_type = 2;
    expected.origin_ado = 0;
    expected.sub_mapping = 1;
    expected.audio_compress = 1;
    expected.channle_mode = 3;
    expected.audio_bitrate = 1;
    expected.volume = 120;
    expected.size_opt = 0;
    expected.size_w = 642;
    expected.size_h = 360;
    expected.blur = 3;
    expected.fn_prefix = "";
    expected.optional = "-threads 2";
    QCOMPARE(Fields(record_), Fields(expected));

    // A main window holding that record stores it when it closes; the next start loads the same
    // record. The store starts empty, so what is loaded can only be what the window wrote.
    fs::remove_all(fs::path(std::getenv("XDG_CONFIG_HOME")) / "Tarvesk");
    {
      TempDir dir;
      StoredPaths paths;
      paths.output_folder = dir.file("out");
      ApplyPathDefaults(paths, true);
      paths.error_log_path = dir.file("error_log.txt");
      paths.ProgramFolder = dir.str();
      MainWindowOptions options;
      options.trayIcon = false;
      CMainDLG window(record_, paths, options);
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      window.close();  // the exit command: the window stores the record and closes
      QTRY_VERIFY(window.IsClosed());
    }
    EncodingSettings next;
    StoredPaths nextPaths;
    QCOMPARE(LoadStartupSettings(next, nextPaths), 1);
    QCOMPARE(Fields(next), Fields(expected));
    // …and a dialog opened on it shows it.
    Open(next);
    QCOMPARE(W<QComboBox>("OutputType")->currentIndex(), 2);
    QCOMPARE(W<QCheckBox>("SubMapping")->text(), QString(kStreamKo));
    QCOMPARE(W<QComboBox>("ChannleMode")->currentText(), QString("mono"));
    QCOMPARE(W<QLineEdit>("SizeW")->text(), QString("642"));
    QCOMPARE(W<QLineEdit>("FnPrefix")->text(), QString());
  }

  // Each opening starts from the main window's record: unsaved edits do not survive.
  void openOnTheRecordAndSave() {
    EncodingSettings record = Defaults();
    StoredPaths paths;
    paths.encoder_path_b = "/nonexistent/mencoder";
    paths.encoder_path_a = "/nonexistent/ffmpeg";
    QWidget owner;
    owner.setGeometry(40, 30, 800, 600);
    owner.show();
    int step = 0;
    std::function<void(COptionDLG*)> drive = [&](COptionDLG* dlg) {
      // Centred over the main window.
      QVERIFY(qAbs(dlg->frameGeometry().center().x() - owner.frameGeometry().center().x()) <= 1);
      QVERIFY(qAbs(dlg->frameGeometry().center().y() - owner.frameGeometry().center().y()) <= 1);
      // Without a runnable mencoder the tooltips say that ffmpeg stands in.
      QTRY_VERIFY(dlg->AlternativeEncoderState() == AlternativeEncoder::kMissing);
      QVERIFY(dlg->findChild<QComboBox*>("OutputType")->toolTip().contains(kKoreanOptionTexts.alt_missing_note));
      auto* volume = dlg->findChild<QLineEdit*>("Volume");
      QCOMPARE(volume->text(), step == 0 ? QString("0") : QString("300"));
      volume->setText(step == 0 ? "300" : "400");
      dlg->findChild<QPushButton*>(step == 0 ? "BtnSave" : "BtnCancel")->click();
    };
    auto saved = WhenModal(drive);
    QCOMPARE(COptionDLG::Open(record, paths, kKoreanTexts, &owner), 1);
    QVERIFY(*saved);
    QCOMPARE(record.volume, 300);
    step = 1;
    auto cancelled = WhenModal(drive);
    QCOMPARE(COptionDLG::Open(record, paths, kKoreanTexts, &owner), 0);
    QVERIFY(*cancelled);
    QCOMPARE(record.volume, 300);
  }

  // A new user opens "인코딩 설정" from the main window, chooses MKV with mono MP3, saves, converts
  // a file and gets exactly that; after a restart the same settings are there.
  void fromTheMainWindowToTheConvertedFile() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffprobe");
    TempDir dir;
    const std::string clip = testsupport::MakeClip(
        dir.file("clip.avi"), {.size = "320x240", .options = {"-c:v", "mpeg4", "-c:a", "libmp3lame", "-ac", "2"}});
    QVERIFY(!clip.empty());
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths;
    paths.output_folder = dir.file("out");
    ApplyPathDefaults(paths, true);
    paths.error_log_path = dir.file("error_log.txt");
    paths.ProgramFolder = dir.str();
    MainWindowOptions options;
    options.trayIcon = false;
    auto window = std::make_unique<CMainDLG>(settings, paths, options);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    bool saved = false;
    auto answered = WhenModal<COptionDLG>([&](COptionDLG* dlg) {
      dlg_ = dlg;
      ChooseContainer(2);
      Show(W("AudioCompress"));
      W<QComboBox>("AudioCompress")->setCurrentIndex(1);
      W<QComboBox>("ChannleMode")->setCurrentIndex(3);
      Click("BtnSave");
      saved = !dlg_->isVisible();
      dlg_ = nullptr;  // the main window owns it
    });
    QTest::mouseClick(window->findChild<QPushButton*>("BtnSettings"), Qt::LeftButton);
    QVERIFY(*answered);
    QVERIFY(saved);
    QCOMPARE(window->Settings().output_type, 2);
    QCOMPARE(window->Settings().audio_compress, 1);
    QCOMPARE(window->Settings().channle_mode, 3);

    QCOMPARE(window->RunDropFiles({QString::fromStdString(clip)}), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!window->IsAnalysing(), 60000);
    window->OnStartButton();
    QTRY_VERIFY_WITH_TIMEOUT(!window->IsRunning(), 120000);
    window->Batch().JoinThread();
    QCOMPARE(QString::fromStdString(window->List().text(0, kColStatus)), QString("완료"));
    std::string probe;
    const std::string output = dir.file("out/_ZLVR_clip.mkv");
    QCOMPARE(testsupport::RunCommand({"ffprobe", "-v", "error", "-show_entries", "format=format_name:stream=codec_name,channels",
                                      "-of", "compact", output},
                                     &probe),
             0);
    QVERIFY2(QString::fromStdString(probe).contains("format_name=matroska"), probe.c_str());
    QVERIFY2(QString::fromStdString(probe).contains("codec_name=mp3|channels=1"), probe.c_str());

    window->OnBtnExit();  // saves the settings as it closes
    QVERIFY(window->IsClosed());
    window.reset();
    EncodingSettings next;
    StoredPaths nextPaths;
    QCOMPARE(LoadStartupSettings(next, nextPaths), 1);
    QCOMPARE(next.output_type, 2);
    QCOMPARE(next.audio_compress, 1);
    QCOMPARE(next.channle_mode, 3);
  }

  // ---- the window ----

  void fixedSizeMovableByCaption() {
    Open(Defaults());
    QCOMPARE(dlg_->size(), QSize(440, 440));
    QCOMPARE(dlg_->minimumSize(), QSize(440, 440));
    QCOMPARE(dlg_->maximumSize(), QSize(440, 440));
    QVERIFY(!dlg_->Resizable());
    QCOMPARE(dlg_->ResizeEdgesAt(QPoint(439, 439)), Qt::Edges());
    const QPoint before = dlg_->pos();
    QTest::mousePress(dlg_, Qt::LeftButton, {}, QPoint(200, 12));
    QTest::mouseMove(dlg_, QPoint(230, 32));
    QTest::mouseRelease(dlg_, Qt::LeftButton, {}, QPoint(230, 32));
    QCOMPARE(dlg_->pos(), before + QPoint(30, 20));
    QCOMPARE(dlg_->size(), QSize(440, 440));
  }

  void placedOnScreenNextToASmallOwner() {
    QWidget owner;
    owner.setGeometry(0, 0, 200, 100);
    EncodingSettings s = Defaults();
    COptionDLG dlg(s, kKoreanTexts, &owner);
    QCOMPARE(dlg.pos(), QPoint(0, 0));
  }

  void everySwitchAndListExplainsItself_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("Korean") << 0;
    QTest::newRow("English") << 1;
  }
  void everySwitchAndListExplainsItself() {
    QFETCH(int, language);
    Open(Defaults(), SelectInterfaceTexts(language));
    const QList<QWidget*> controls = dlg_->findChildren<QWidget*>();
    int explained = 0;
    for (QWidget* w : controls) {
      if (!qobject_cast<QCheckBox*>(w) && !qobject_cast<QComboBox*>(w)) continue;
      const QString tip = w->toolTip();
      QVERIFY2(!tip.isEmpty(), qPrintable(w->objectName() + " has no tooltip"));
      // Korean tooltips for the Korean table: every one holds a Hangul syllable; English ones none.
      const bool hangul = std::any_of(tip.begin(), tip.end(), [](QChar c) { return c >= u'가' && c <= u'힣'; });
      QVERIFY2(hangul == (language == 0), qPrintable(w->objectName() + ": " + tip));
      ++explained;
    }
    QCOMPARE(explained, 4 + 1 + 6 + 5);  // main switches, container, video and audio switches and lists
  }

  void alternativeEncoderNotes_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("note");
    QTest::newRow("passed its test drive") << int(AlternativeEncoder::kUsable) << QString();
    QTest::newRow("failed its test drive") << int(AlternativeEncoder::kFailed)
                                           << QString(kEnglishOptionTexts.alt_failed_note);
    QTest::newRow("cannot be run") << int(AlternativeEncoder::kMissing) << QString(kEnglishOptionTexts.alt_missing_note);
  }
  void alternativeEncoderNotes() {
    QFETCH(int, state);
    QFETCH(QString, note);
    Open(Defaults(), kEnglishTexts);
    dlg_->SetAlternativeEncoder(static_cast<AlternativeEncoder>(state));
    // The jobs mencoder does: AVI, the middle-quality h264, burning in a subtitle.
    for (const char* name : {"OutputType", "VideoCompress", "SubMapping"}) {
      const QString tip = W(name)->toolTip();
      QVERIFY2(tip.contains("mencoder"), qPrintable(tip));
      QVERIFY2(note.isEmpty() ? !tip.contains("ffmpeg") : tip.contains(note), qPrintable(tip));
    }
    // In MKV the subtitle travels as a stream: no encoder note there.
    ChooseContainer(2);
    QVERIFY(!W("SubMapping")->toolTip().contains("mencoder"));
  }

  void englishTexts() {
    Open(Defaults(), kEnglishTexts);
    QCOMPARE(dlg_->Title(), QString("Encoding Option"));
    QCOMPARE(dlg_->Tabs()->TabText(0), QString("Video"));
    QCOMPARE(W<QCheckBox>("SubMapping")->text(), QString(kEnglishTexts.subtitle_burn_label));
    QCOMPARE(W<QPushButton>("BtnSave")->text(), QString("Save and close"));
  }

  void koreanTexts() {
    Open(Defaults());
    QCOMPARE(dlg_->Title(), QString("인코딩 설정"));
    const QStringList tabs = {"비디오 설정", "오디오 설정", "자막매핑 설정", "기타 설정"};
    for (int i = 0; i < 4; ++i) QCOMPARE(dlg_->Tabs()->TabText(i), tabs[i]);
    QCOMPARE(W<QPushButton>("BtnReset")->text(), QString("설정값 초기화"));
    QCOMPARE(W<QPushButton>("BtnSave")->text(), QString("저장후 닫기"));
    QCOMPARE(W<QPushButton>("BtnCancel")->text(), QString("취소"));
    QCOMPARE(W<QComboBox>("OutputType")->itemText(1), QString("AVI : Audio Video Interleave Foramt"));
    QCOMPARE(W<QComboBox>("VideoCompress")->itemText(3), QString("h264(Middle Quility)"));
  }

  // Every label and switch shows its whole text at 440×440 in both languages.
  void noTextIsCut_data() { everySwitchAndListExplainsItself_data(); }
  void noTextIsCut() {
    QFETCH(int, language);
    Open(Defaults(), SelectInterfaceTexts(language));
    for (int page = 0; page < 4; ++page) {
      dlg_->Tabs()->SelectTab(page);
      for (QWidget* w : dlg_->findChildren<QWidget*>()) {
        if (!w->isVisible() || (!qobject_cast<QLabel*>(w) && !qobject_cast<QCheckBox*>(w) &&
                                !qobject_cast<QComboBox*>(w)))
          continue;
        if (w->objectName() == "OptionError") continue;
        QVERIFY2(w->width() >= w->sizeHint().width(),
                 qPrintable(QString("%1 '%2': %3 < %4")
                                .arg(w->objectName(), w->property("text").toString())
                                .arg(w->width())
                                .arg(w->sizeHint().width())));
        QVERIFY2(dlg_->rect().contains(w->geometry().translated(w->parentWidget()->mapTo(dlg_, QPoint()))),
                 qPrintable(w->objectName()));
      }
    }
  }
};

QTEST_MAIN(TestOptionDlg)
#include "test_optiondlg.moc"
