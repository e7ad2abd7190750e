#include "app/StopSignalRule.h"

#include "app/CMirelDFUDlg.h"

namespace mirel {

StopSignalRule::Action StopSignalRule::OnInterrupt(int state, std::chrono::steady_clock::time_point now) {
  if (!CMirelDFUDlg::IsFlashing(state)) {
    m_warnedAt.reset();
    return Action::AskToClose;
  }
  if (m_warnedAt && now - *m_warnedAt <= kInsistWindow) return Action::Abandon;
  m_warnedAt = now;
  return Action::Warn;
}

}  // namespace mirel
