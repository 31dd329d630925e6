#include "SmtpFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qby::server::test {

namespace {

int listenOnLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

// One CRLF-terminated line; false when the peer went away.
bool readLine(int fd, std::string& buffer, std::string& line) {
  for (;;) {
    if (const auto end = buffer.find("\r\n"); end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      return true;
    }
    char chunk[512];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

void say(int fd, const std::string& text) {
  const std::string line = text + "\r\n";
  (void)!send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

std::string afterColon(const std::string& line) {
  const auto colon = line.find(':');
  std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
  if (!value.empty() && value.front() == '<') value.erase(0, 1);
  if (!value.empty() && value.back() == '>') value.pop_back();
  return value;
}

bool startsWith(const std::string& line, const char* command) {
  return strncasecmp(line.c_str(), command, std::strlen(command)) == 0;
}

}  // namespace

SmtpFixture::SmtpFixture(Mode mode) : mode_(mode) {
  listener_ = listenOnLoopback(port_);
  if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

SmtpFixture::~SmtpFixture() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

std::vector<SmtpMail> SmtpFixture::mails() const {
  std::lock_guard lock(mutex_);
  return mails_;
}

int SmtpFixture::deadPort() {
  int port = 0;
  const int fd = listenOnLoopback(port);
  if (fd >= 0) close(fd);
  return port;
}

void SmtpFixture::serve() {
  while (!stopping_) {
    pollfd wait{listener_, POLLIN, 0};
    if (poll(&wait, 1, 50) <= 0) continue;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    timeval timeout{5, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    converse(connection);
    close(connection);
  }
}

void SmtpFixture::converse(int fd) {
  std::string buffer, line;
  SmtpMail mail;
  say(fd, "220 fixture.test ESMTP");
  while (readLine(fd, buffer, line)) {
    if (startsWith(line, "HELO") || startsWith(line, "EHLO")) {
      say(fd, "250 fixture.test");
    } else if (startsWith(line, "MAIL FROM:")) {
      mail.from = afterColon(line);
      say(fd, "250 OK");
    } else if (startsWith(line, "RCPT TO:")) {
      if (mode_ == Mode::RefuseRecipient) {
        say(fd, "550 5.7.1 Relaying denied");
        continue;
      }
      mail.recipients.push_back(afterColon(line));
      say(fd, "250 OK");
    } else if (startsWith(line, "DATA")) {
      say(fd, "354 End data with <CR><LF>.<CR><LF>");
      while (readLine(fd, buffer, line) && line != ".") mail.data += line + "\n";
      {
        std::lock_guard lock(mutex_);
        mails_.push_back(mail);
      }
      mail = SmtpMail{};
      say(fd, "250 OK queued");
    } else if (startsWith(line, "QUIT")) {
      say(fd, "221 Bye");
      return;
    } else {
      say(fd, "502 Command not implemented");
    }
  }
}

}  // namespace qby::server::test
