// The one window of the tool: the serial-number field and "Start". The dialog owns the link
// socket, the found device's endpoint and the power-module record, and runs the Start procedure
// over them; it only reads the field and shows the procedure's messages.
#pragma once

#include <wx/dialog.h>
#include <wx/iconbndl.h>
#include <wx/stattext.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/cli_options.h"
#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "link/link.h"
#include "link/system_platform.h"
#include "numedit/numeric_edit_wx.h"
#include "reconfig/messages.h"
#include "reconfig/power_module_record.h"
#include "reconfig/reconfig_session.h"

namespace quillon {

// Control id of the serial-number field.
inline constexpr int kIdSerialField = 1000;

// Message box style of the toolkit for one of ours (exclamation or information, OK button).
long MessageBoxStyle(MessageStyle style);

// The wait cursor for the lifetime of the guard. Suspend() gives the normal cursor back for a
// while (a message box in the middle of a Start) and Resume() puts the wait cursor up again.
class WaitCursor {
 public:
  WaitCursor();
  ~WaitCursor();
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

  void Suspend();
  void Resume();

 private:
  bool m_shown = false;
};

class MainDialog final : public wxDialog, private MessageSink {
 public:
  // The options are those the dialog shares with the command line; none gives the plain tool.
  explicit MainDialog(const CliOptions& options = {});
  ~MainDialog() override;
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // For the tests: the link socket (null before the dialog is shown, with --no-udp, or when
  // none could be made) and the serial-number field.
  const DatagramSocket* socket() const { return m_socket.get(); }
  NumericEditWx& serialField() { return m_serialField; }
  // The line under the field that names the stage of a Start; empty between Starts.
  wxString stageText() const { return m_stageLine ? m_stageLine->GetLabel() : wxString(); }
  bool starting() const { return m_starting; }

 private:
  // The message handlers. No paint handler for the minimised window and no drag-icon query:
  // the toolkits have neither; the system draws a minimised window from the icons given to
  // SetIcons.
  void OnInitDialog(wxInitDialogEvent& event);
  void OnOK(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnDestroy(wxWindowDestroyEvent& event);

  // The controls of the dialog's layout, at their places in dialog units: placed when created
  // and again when the dialog moves to a monitor of another DPI.
  void CreateControls();
  void PlaceControls();
  void OnDpiChanged(wxDPIChangedEvent& event);

  // MessageSink: message boxes owned by the dialog, the stage line, the busy cursor around a
  // Start.
  void ShowMessage(std::string_view text, MessageStyle style) override;
  void Stage(std::string_view what) override;
  void BeginWait() override;
  void EndWait() override;

  // During a Start: the window repaints and its timers run, and everything the user types or
  // clicks meanwhile is dropped rather than kept for after the Start.
  void KeepWindowAlive();
  void EnableInput(bool enable);

  wxIconBundle m_icon;
  PowerModuleRecord m_record;
  std::unique_ptr<DatagramSocket> m_socket;
  NumericEditWx m_serialField;
  // The system's ports (those named with --port, when any) and clock.
  SystemPlatform m_platform;
  // During a Start's waits the window repaints (KeepWindowAlive).
  LinkHooks m_linkHooks;
  ReconfigSession m_session;
  const CliOptions m_options;  // --no-udp decides whether OnInitDialog makes the socket
  bool m_initialised = false;
  std::optional<WaitCursor> m_waitCursor;  // up during a Start
  wxStaticText* m_stageLine = nullptr;
  wxStaticText* m_intro = nullptr;
  std::vector<std::pair<wxWindow*, wxRect>> m_layout;  // each control's place in dialog units
  bool m_starting = false;
  wxWindow* m_focusBeforeStart = nullptr;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace quillon
