#include "app/TovikMainRecords.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include "app/TovikQtDriver.h"
#include "app/TovikSettings.h"
#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikNet.h"
#include "records/ui/TovikRecordForms.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::string NewMsgID() { return AsciiLower(BytesToHex(RandomBytes(4))); }

// The maker's own relays are under the domain of the default relay host.
constexpr std::string_view kMakersDomain = "tovik.net";

}  // namespace

class TMainRecords::TLink : public IReportLink {
 public:
  explicit TLink(TTovikClient& c) : FClient(c) {}
  bool HasChannel() const override { return FClient.RelaySecure(); }
  bool CanSend() const override { return FClient.RelaySecure() && FClient.MyID() != "0"; }
  std::string RelayKey() const override { return FClient.RelayFingerprint(); }
  void SendLine(const std::string& line) override { FClient.SendBookCommand(line); }

 private:
  TTovikClient& FClient;
};

TMainRecords::TMainRecords(TTovikClient& client, const TSettingsStore& store, TQtTimedDriver& driver,
                           std::function<void(const std::string&)> log, std::string build, QWidget* owner)
    : FClient(client),
      FStore(store),
      FDriver(driver),
      FLog(std::move(log)),
      FBuild(std::move(build)),
      FOwner(owner),
      FLink(std::make_unique<TLink>(client)),
      FSender(*FLink, NewMsgID) {
  FWanted = FStore.ReadText("Reports", "Wanted") == "1";
  FQueue = std::make_unique<TReportQueue>(FStore.Paths().UserFolder + "/PendingReports.txt", *FLink, FLog, NewMsgID);
  FQueue->Load(TickMs());
  FSender.OnDone = [this](bool ok, const std::string& reason) {
    if (FClosing) return;
    if (FFeedbackForm) {
      if (ok)
        FFeedbackForm->Delivered();
      else
        FFeedbackForm->NotDelivered(Q(reason));
    } else if (ok) {
      QMessageBox::information(FOwner, FOwner->windowTitle(), QStringLiteral("Thank you, your message has been delivered."));
    } else {
      QMessageBox box(QMessageBox::Warning, FOwner->windowTitle(),
                      QStringLiteral("Your message could not be delivered.\r\n\r\n") + Q(reason), QMessageBox::Ok,
                      FOwner);
      box.setTextFormat(Qt::PlainText);
      box.exec();
    }
  };
  FDriver.Add(*FQueue);
  FDriver.Add(FSender);
}

TMainRecords::~TMainRecords() {
  FClosing = true;
  FSender.Abandon();
  FDriver.Remove(FSender);
  FDriver.Remove(*FQueue);
  delete FReportForm.data();
  delete FFeedbackForm.data();
}

TReportForm* TMainRecords::OpenReport() const { return FReportForm.data(); }
TFeedbackForm* TMainRecords::OpenFeedbackForm() const { return FFeedbackForm.data(); }

void TMainRecords::HandleReply(const std::string& line) {
  QTimer::singleShot(0, this, [this, line] { Act(line); });
}

void TMainRecords::Act(const std::string& line) {
  if (FClosing) return;
  if (FSender.HandleLine(line)) {
    FDriver.Rearm();
    return;
  }
  if (const auto answer = ParseReportAnswer(line)) {
    TReportAnswer a = *answer;
    if (!a.Ok) a.MsgID = FQueue->CurrentID();
    FQueue->Answered(a, TickMs());
    FDriver.Rearm();
    return;
  }
  if (line.rfind("REPORTASK", 0) != 0) return;
  auto ask = ParseReportAsk(line);
  if (!ask) {
    FLog("Session report: request ignored: " + EscapeForLog(line, 120));
    return;
  }
  ask->RelayKey = FClient.RelayFingerprint();
  if (!FWanted) {
    FWanted = true;
    FStore.WriteText("Reports", "Wanted", "1");
  }
  AddRequest(std::move(*ask));
}

void TMainRecords::AskLocalReport(const std::string& helpedID, std::int64_t started, std::int64_t ended) {
  if (!FWanted || helpedID.empty()) return;
  const std::int64_t seconds = std::max<std::int64_t>(ended - started, 0);
  if (seconds < 30) return;
  AddRequest(TReportAsk{"-", started, ended, seconds, helpedID, FClient.RelayFingerprint()});
}

void TMainRecords::AddRequest(TReportAsk ask) {
  const std::string openRef = FReportForm ? FReportForm->Ask().Ref : std::string();
  if (!FRequests.Add(std::move(ask), openRef)) return;
  ShowNext();
}

void TMainRecords::ShowNext() {
  if (FReportForm || FClosing) return;
  auto ask = FRequests.TakeNext();
  if (!ask) return;
  const QString helper = Q(FStore.ReadText("Profile", "Name"));
  auto* form = new TReportForm(*ask, helper, QString(), FOwner);
  form->setAttribute(Qt::WA_DeleteOnClose);  // closing frees the form and shows the next request
  const std::string grouped = FormatID(ask->HelpedID);
  form->OnSave = [this, grouped](const std::string& payload, const TReportAsk& a) {
    FQueue->Add(payload, a.RelayKey, TickMs());
    FLog("Session report: saved for " + grouped);
    FDriver.Rearm();
  };
  form->OnSkip = [this, grouped](const TReportAsk&) { FLog("Session report: skipped for " + grouped); };
  connect(form, &QObject::destroyed, this, [this] { QTimer::singleShot(0, this, [this] { ShowNext(); }); });
  FReportForm = form;
  if (FOwner) form->move(FOwner->frameGeometry().center() - QPoint(form->width() / 2, form->height() / 2));
  form->show();
}

void TMainRecords::OpenFeedback() {
  if (FFeedbackForm) {
    FFeedbackForm->raise();
    FFeedbackForm->activateWindow();
    return;
  }
  const QString recipient = IsMakersRelay(FClient.RelayHost(), kMakersDomain)
                                ? QStringLiteral("the people who make Tovik")
                                : QStringLiteral("the people who run this Tovik server");
  auto* form = new TFeedbackForm(recipient, FBuild, FOwner);
  form->setAttribute(Qt::WA_DeleteOnClose);
  form->OnSend = [this](const std::string& plain, std::string& error) {
    const bool ok = FSender.Start(plain, TickMs(), error);
    FDriver.Rearm();
    return ok;
  };
  form->Busy = [this] { return FSender.Busy(); };
  FFeedbackForm = form;
  if (FOwner) form->move(FOwner->frameGeometry().center() - QPoint(form->width() / 2, form->height() / 2));
  form->show();
}

}  // namespace tovik
