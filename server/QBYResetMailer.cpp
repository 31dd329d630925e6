#include "QBYResetMailer.h"

#include <gio/gio.h>

#include <utility>

namespace qby::server {

namespace {

// Header and envelope fields must not carry line breaks: they would start new commands.
bool safeAddress(const std::string& address) {
  return !address.empty() && address.find_first_of("\r\n<>") == std::string::npos;
}

class Conversation {
 public:
  explicit Conversation(GSocketConnection* connection)
      : connection_(connection),
        in_(g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(connection)))),
        out_(g_io_stream_get_output_stream(G_IO_STREAM(connection))) {
    g_data_input_stream_set_newline_type(in_, G_DATA_STREAM_NEWLINE_TYPE_CR_LF);
  }
  ~Conversation() {
    g_object_unref(in_);
    g_object_unref(connection_);
  }
  // Reads a (possibly multi-line) reply and checks its code's first digit.
  bool expect(char digit, std::string& error) {
    for (;;) {
      gsize length = 0;
      GError* gerror = nullptr;
      char* line = g_data_input_stream_read_line(in_, &length, nullptr, &gerror);
      if (!line) {
        error = gerror ? gerror->message : "the relay closed the connection";
        g_clear_error(&gerror);
        return false;
      }
      const std::string text(line, length);
      g_free(line);
      if (text.size() < 3) continue;
      if (text.size() > 3 && text[3] == '-') continue;
      if (text[0] != digit) {
        error = "the relay answered: " + text;
        return false;
      }
      return true;
    }
  }
  bool say(const std::string& text, std::string& error) {
    GError* gerror = nullptr;
    if (!g_output_stream_write_all(out_, text.data(), text.size(), nullptr, nullptr, &gerror)) {
      error = gerror ? gerror->message : "write failed";
      g_clear_error(&gerror);
      return false;
    }
    return true;
  }

 private:
  GSocketConnection* connection_;
  GDataInputStream* in_;
  GOutputStream* out_;
};

}  // namespace

QBYResetMailer::QBYResetMailer(std::string host, int port, std::string from)
    : host_(std::move(host)), port_(port), from_(std::move(from)) {}

bool QBYResetMailer::send(const std::string& to, const std::string& code,
                          std::string& error) const {
  if (!safeAddress(to) || !safeAddress(from_)) {
    error = "unusable address";
    return false;
  }
  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_timeout(client, 10);
  GError* gerror = nullptr;
  GSocketConnection* connection = g_socket_client_connect_to_host(
      client, host_.c_str(), static_cast<guint16>(port_), nullptr, &gerror);
  g_object_unref(client);
  if (!connection) {
    error = gerror ? gerror->message : "cannot connect";
    g_clear_error(&gerror);
    return false;
  }
  Conversation smtp(connection);
  const std::string message = "From: " + from_ + "\r\nTo: " + to +
                              "\r\nSubject: Your Porvane password reset code\r\n"
                              "Content-Type: text/plain; charset=utf-8\r\n\r\n"
                              "Your code to reset the password of your Porvane account: " +
                              code +
                              "\r\n\r\nIf you did not ask for it, ignore this mail.\r\n.\r\n";
  return smtp.expect('2', error) && smtp.say("HELO porvane-server\r\n", error) &&
         smtp.expect('2', error) && smtp.say("MAIL FROM:<" + from_ + ">\r\n", error) &&
         smtp.expect('2', error) && smtp.say("RCPT TO:<" + to + ">\r\n", error) &&
         smtp.expect('2', error) && smtp.say("DATA\r\n", error) && smtp.expect('3', error) &&
         smtp.say(message, error) && smtp.expect('2', error) && smtp.say("QUIT\r\n", error);
}

}  // namespace qby::server
