// A tiny SMTP relay on 127.0.0.1 for the password-reset mail: it speaks just enough of the
// protocol (220, HELO/EHLO, MAIL, RCPT, DATA, QUIT) to take a mail, or refuses the recipient,
// and records what it was given. It serves on a thread of its own, because the server under
// test talks to it while the test waits for that server's answer.
//
// Thread rule: create, read and destroy on the test's thread; the recorded mails are guarded.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qby::server::test {

struct SmtpMail {
  std::string from;                     // MAIL FROM
  std::vector<std::string> recipients;  // RCPT TO
  std::string data;                     // between DATA and the final "."
};

class SmtpFixture {
 public:
  enum class Mode { Accept, RefuseRecipient };

  explicit SmtpFixture(Mode mode = Mode::Accept);
  ~SmtpFixture();
  SmtpFixture(const SmtpFixture&) = delete;
  SmtpFixture& operator=(const SmtpFixture&) = delete;

  int port() const { return port_; }
  std::vector<SmtpMail> mails() const;
  // A port on 127.0.0.1 where nothing listens (bound, then closed again).
  static int deadPort();

 private:
  void serve();
  void converse(int connection);

  const Mode mode_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<SmtpMail> mails_;
  std::thread thread_;
};

}  // namespace qby::server::test
