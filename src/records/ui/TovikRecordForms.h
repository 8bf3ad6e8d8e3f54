// The session report form and the feedback form ("Request a feature").
//
// GUI thread only. Both are top-level windows owned through their Qt parent (the owner decides whether
// closing frees them); they never call the
// network themselves: a saved report goes to OnSave, a message to OnSend, and the owner answers a
// feedback form with Delivered or NotDelivered. Texts that came from the relay (the helped ID, the
// reference) were checked before a request reached the form and are shown as plain text.
#pragma once

#include <QWidget>

#include <functional>
#include <string>

#include "records/TovikSessionReport.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tovik {

class TUiSegmented;

// The counter of a multi-line field, counted in the UTF-8 bytes the wire carries.
// Cuts the field's text at the last whole character within maxBytes of UTF-8.
void CutToUtf8Bytes(QPlainTextEdit* edit, std::int64_t maxBytes);

class TReportForm : public QWidget {
  Q_OBJECT
 public:
  TReportForm(const TReportAsk& ask, const QString& helperName, const QString& pcName, QWidget* owner);

  // The report's payload when Save accepted it; the form closes itself after the call.
  std::function<void(const std::string& payload, const TReportAsk& ask)> OnSave;
  std::function<void(const TReportAsk& ask)> OnSkip;

  void Save();
  void Skip();
  const TReportAsk& Ask() const { return FAsk; }
  TReportFields Fields() const;

  QLineEdit* Helper() const { return FHelper; }
  QLineEdit* Customer() const { return FCustomer; }
  QLineEdit* PcName() const { return FPcName; }
  QLineEdit* Minutes() const { return FMinutes; }
  QCheckBox* Billable() const { return FBillable; }
  QPlainTextEdit* Text() const { return FText; }
  QLabel* Status() const { return FStatus; }
  QLabel* When() const { return FWhen; }
  QLabel* Counter() const { return FCounter; }

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void UpdateCounter();
  void SetStatus(const QString& text, std::uint32_t colour);

  TReportAsk FAsk;
  QLineEdit *FHelper, *FCustomer, *FContact, *FPcName, *FMinutes;
  QCheckBox* FBillable;
  QPlainTextEdit* FText;
  QLabel *FStatus, *FWhen, *FCounter;
  bool FDone = false;
};

class TFeedbackForm : public QWidget {
  Q_OBJECT
 public:
  // recipient: "the people who make Tovik" or "the people who run this Tovik server".
  TFeedbackForm(const QString& recipient, std::string build, QWidget* owner);

  // Starts sending the plain text; false with the error text when it could not start.
  std::function<bool(const std::string& plain, std::string& error)> OnSend;
  // A message on its way (the form then refuses to send another).
  std::function<bool()> Busy;

  void Send();
  void Delivered();
  void NotDelivered(const QString& reason);

  TUiSegmented* KindSwitch() const { return FKindSwitch; }
  QPlainTextEdit* Message() const { return FMessage; }
  QLineEdit* Email() const { return FEmail; }
  QLabel* Status() const { return FStatus; }
  QLabel* Counter() const { return FCounter; }
  QPushButton* SendButton() const { return FSend; }
  QPushButton* CloseButton() const { return FClose; }
  QWidget* Body() const { return FBody; }
  QWidget* DonePanel() const { return FDone; }

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  std::string Plain() const;
  void UpdateCounter();
  void SetStatus(const QString& text, std::uint32_t colour);

  std::string FBuild;
  TUiSegmented* FKindSwitch;
  QWidget *FBody, *FDone;
  QPlainTextEdit* FMessage;
  QLineEdit* FEmail;
  QLabel *FStatus, *FCounter;
  QPushButton *FSend, *FClose;
};

}  // namespace tovik
