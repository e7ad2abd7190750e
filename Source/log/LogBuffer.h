#pragma once

namespace rodiz {

// Where file messages go. For now each message is written to the log file on
// the caller's thread and flushed at once; the ring and the log thread will
// come behind the same two calls.
class LogBuffer {
 public:
  // Writes one message to the file as its record text ("-tag-", function and
  // message). False when the message could not be stored (never, for now).
  static bool insert(unsigned long long monotonic_us, unsigned long long wall_us, unsigned thread_id, unsigned level,
                     const char* tag, const char* function, const char* message, unsigned message_length);
  // Begins the synchronous mode of the log: every console line is flushed and
  // the tag filter no longer applies. A second call changes nothing.
  static void shutdown();
  // True from shutdown() on.
  static bool synchronous();

 private:
  friend class XLogTesting;
  static void reset_for_testing();
};

}  // namespace rodiz
