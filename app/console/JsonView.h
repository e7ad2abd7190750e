#pragma once

#include <cstdio>
#include <string>

#include "app/console/ConsoleView.h"

namespace mirel {

// The console view for scripts (--json): keys, signals and the controller's
// loop as in the console, but standard output carries only JSON objects, one
// per line, each naming its kind in "event":
//   {"event":"device","product_id":49287,"mode":"application","version":"14.2.6"}
//   {"event":"state","state":4,"name":"SendingImage1"}
//   {"event":"status","text":"Updating firmware. ..."}
//   {"event":"progress","bytes":4096,"total":134544}
//   {"event":"message","text":"..."}          (prompts, notices, warnings)
//   {"event":"check","current":"14.2.6","carried":"14.2.7","update_needed":true}
//   {"event":"result","exit_status":0,"result":"updated","reason":""}
// "result" is always the last object of a run that got as far as its window.
// Progress comes at most once per percent.
class JsonView : public ConsoleView {
 public:
  JsonView(std::FILE* out, bool auto_answer, bool interactive);

  void set_window_title(const std::string&) override {}
  void set_text(int control, const std::string& text) override;
  void add_list_entry(int, const std::string&) override {}
  void device_found(int product_id, const std::string& version) override;
  void state_changed(int state) override;
  void restoring_settings() override;
  void report_end(ExitStatus status, const std::string& reason) override;

  // The name of a controller state in "state" objects ("WaitingForDevice").
  static const char* StateName(int state);

 protected:
  void print_line(const std::string& text) override;
  void draw_progress(bool force) override;

 private:
  // Writes one object as a line; `object` is a serialised JSON object.
  void emit(const std::string& object);

  std::string m_lastStatus;
  std::string m_version;
  bool m_bootloader = false;
  int m_lastPercent = -1;
  std::uint32_t m_total = 0;
};

}  // namespace mirel
