// TMainRecords: the main window's session reports and feedback. It owns the report queue (kept in
// PendingReports.txt beside the per-user settings), the requests waiting for their form, the feedback
// sender, and the forms, and it takes the relay's REPORTASK, REPORT and FEEDBACK lines.
//
// The client, the store, the driver and the owner window must outlive it. Relay lines are acted on
// in a queued call, so no form is ever created inside the network handler. GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

#include "records/TovikFeedback.h"
#include "records/TovikSessionReport.h"

class QWidget;

namespace tovik {

class TFeedbackForm;
class TQtTimedDriver;
class TReportForm;
class TSettingsStore;
class TTovikClient;

class TMainRecords : public QObject {
 public:
  TMainRecords(TTovikClient& client, const TSettingsStore& store, TQtTimedDriver& driver,
               std::function<void(const std::string&)> log, std::string build, QWidget* owner);
  // Takes the queue and the sender off the driver; an open form is closed without an outcome.
  ~TMainRecords() override;

  // Every relay line the client routes to replies; queued to run after the current event.
  void HandleReply(const std::string& line);
  // "Request a feature...": brings the open form to the front or opens a new one.
  void OpenFeedback();
  // An extra helper session ended (Unix seconds); a request is made when reports are wanted.
  void AskLocalReport(const std::string& helpedID, std::int64_t started, std::int64_t ended);

  const TReportQueue& Queue() const { return *FQueue; }
  TReportForm* OpenReport() const;
  TFeedbackForm* OpenFeedbackForm() const;

 private:
  class TLink;
  void Act(const std::string& line);
  void AddRequest(TReportAsk ask);
  void ShowNext();

  TTovikClient& FClient;
  const TSettingsStore& FStore;
  TQtTimedDriver& FDriver;
  std::function<void(const std::string&)> FLog;
  std::string FBuild;
  QWidget* FOwner;
  std::unique_ptr<TLink> FLink;
  std::unique_ptr<TReportQueue> FQueue;
  TReportRequests FRequests;
  TFeedbackSender FSender;
  QPointer<TReportForm> FReportForm;
  QPointer<TFeedbackForm> FFeedbackForm;
  bool FWanted = false;
  bool FClosing = false;
};

}  // namespace tovik
