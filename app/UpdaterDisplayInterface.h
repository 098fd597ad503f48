// The sink for everything the user is meant to read: messages, a progress
// bar and a spinner. The update engine only talks to this interface.
#pragma once

class UpdaterDisplayInterface {
 public:
  enum Level { INFO = 0, ERROR = 1 };

  virtual void display_progress(bool show) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool active, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats into a 2048-byte buffer (cut to 2047 characters); level 1 goes
  // to error_message, any other level to info_message. Nothing when muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Muting silences message() only; progress and spinner still draw.
  void mute_messages(bool mute) { muted_ = mute; }

 protected:
  bool muted_ = false;
};
