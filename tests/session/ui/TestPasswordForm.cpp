// The password dialogs of unattended access.
#include <gtest/gtest.h>

#include <QTest>

#include "tests/app/UiTestApp.h"
#include "session/ui/TovikPasswordForm.h"

namespace tovik {
namespace {

class PasswordForms : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApp(); }
};

TEST_F(PasswordForms, NewPasswordNeedsEightCharactersTypedTwice) {
  struct Case {
    const char* First;
    const char* Second;
    const char* Problem;  // empty: OK is enabled and the password is given out
  } cases[] = {
      {"", "", "The password needs at least 8 characters."},
      {"1234567", "1234567", "The password needs at least 8 characters."},
      {"\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", "The password needs at least 8 characters."},
      {"12345678", "", "Type the password again below."},
      {"12345678", "12345679", "The two passwords are not the same."},
      {"12345678", "12345678", ""},
  };
  for (const auto& c : cases) {
    TNewPasswordForm form;
    form.First()->setText(QString::fromUtf8(c.First));
    form.Second()->setText(QString::fromUtf8(c.Second));
    EXPECT_EQ(form.Problem().toStdString(), c.Problem) << c.First << " / " << c.Second;
    EXPECT_EQ(form.OkButton()->isEnabled(), *c.Problem == 0) << c.First;
    EXPECT_EQ(form.Password().has_value(), *c.Problem == 0) << c.First;
    EXPECT_EQ(form.First()->echoMode(), QLineEdit::Password);
  }
}

// The prompt answers exactly once: the text on Connect, nothing on Cancel, and nothing at all when
// the session abandoned it first.
TEST_F(PasswordForms, PromptAnswersOnceAndNotAfterItWasAbandoned) {
  std::vector<std::optional<std::string>> answers;
  auto record = [&answers](std::optional<std::string> a) { answers.push_back(std::move(a)); };

  QPointer<TPasswordPromptForm> form = AskPassword("111 222 333", record);
  ASSERT_TRUE(form);
  EXPECT_EQ(form->HeadLine(), "The other PC accepts helpers with a password");
  EXPECT_EQ(form->windowTitle(), "Tovik - password for 111 222 333");
  EXPECT_FALSE(form->ConnectButton()->isEnabled());
  form->Field()->setText("secret words");
  EXPECT_TRUE(form->ConnectButton()->isEnabled());
  form->ConnectButton()->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], std::optional<std::string>("secret words"));
  EXPECT_FALSE(form);

  form = AskPassword("111 222 333", record);
  form->reject();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1], std::nullopt);

  form = AskPassword("111 222 333", record);
  form->Field()->setText("secret words");
  AbandonPassword(form);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_FALSE(form);
}

}  // namespace
}  // namespace tovik
