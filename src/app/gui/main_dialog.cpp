#include "app/gui/main_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/evtloop.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <cstdlib>

#include "app/console.h"
#include "app/front_end.h"
#include "app/gui/message_box.h"
#include "app/gui/resources.h"

namespace quillon {
namespace {

constexpr const char* kIntroText =
    "This tool reconfigurates the maximum adjustable high voltage of the specified Quillon "
    "(full and lite version) to 5000V.";

wxString FromUtf8(std::string_view text) {
  return wxString::FromUTF8(text.data(), text.size());
}

}  // namespace

long MessageBoxStyle(MessageStyle style) {
  return wxOK | (style == MessageStyle::kInformation ? wxICON_INFORMATION : wxICON_EXCLAMATION);
}

WaitCursor::WaitCursor() {
  Resume();
}

WaitCursor::~WaitCursor() {
  Suspend();
}

void WaitCursor::Suspend() {
  if (!m_shown) return;
  m_shown = false;
  wxEndBusyCursor();
}

void WaitCursor::Resume() {
  if (m_shown) return;
  m_shown = true;
  wxBeginBusyCursor();
}

MainDialog::MainDialog(const CliOptions& options)
    : wxDialog(nullptr, wxID_ANY, FromUtf8(kCaption), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_icon(LoadAppIcon()),
      m_linkHooks{{}, {}, [this] { KeepWindowAlive(); }},
      m_session(*this, m_record, nullptr, m_platform, MakeSearchOptions(options), &m_linkHooks),
      m_options(options) {
  ApplyPortOptions(m_platform, options);
  // Escape and the close box end the dialog with the cancel code. Left at its default, the
  // toolkit would turn Escape into a press of the only button there is: "Start".
  SetEscapeId(wxID_CANCEL);
  CreateControls();
  Centre();
}

// The toolkit sends the destroy event from its own destructor, when this part of the object is
// gone; send it here so that OnDestroy still sees the socket.
MainDialog::~MainDialog() {
  SendDestroyEvent();
}

void MainDialog::CreateControls() {
  // Creation order is the tab order: "Start" first, so it has the focus when the dialog opens.
  // The places are in dialog units; PlaceControls turns them into pixels.
  auto* start = new wxButton(this, wxID_OK, "Start");
  start->SetDefault();
  m_intro = new wxStaticText(this, wxID_STATIC, kIntroText, wxDefaultPosition, wxDefaultSize,
                             wxST_NO_AUTORESIZE);
  auto* label = new wxStaticText(this, wxID_STATIC, "Serial number:", wxDefaultPosition,
                                 wxDefaultSize, wxST_NO_AUTORESIZE);
  auto* field =
      new NumericTextCtrl(this, kIdSerialField, wxDefaultPosition, wxDefaultSize, wxTE_RIGHT);
  // Below the field, within the template's 62 units: the stage of a Start in progress.
  m_stageLine = new wxStaticText(this, wxID_STATIC, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                 wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  m_layout = {{start, {145, 40, 40, 12}},
              {m_intro, {5, 5, 185, 30}},
              {label, {5, 42, 75, 10}},
              {field, {80, 40, 40, 12}},
              {m_stageLine, {5, 53, 185, 8}}};
  PlaceControls();
}

void MainDialog::PlaceControls() {
  for (const auto& [control, units] : m_layout) {
    control->SetSize(
        wxRect(ConvertDialogToPixels(units.GetPosition()), ConvertDialogToPixels(units.GetSize())));
  }
  // The introduction's line breaks depend on the font's size: wrapped again from the whole text.
  m_intro->SetLabel(kIntroText);
  m_intro->Wrap(m_intro->GetSize().x);
  SetClientSize(ConvertDialogToPixels(wxSize(195, 62)));
}

void MainDialog::OnDpiChanged(wxDPIChangedEvent& /*event*/) {
  // The toolkit has given the dialog and its controls the fonts of the new DPI, but it moves only
  // what sizers place: the template's controls are placed again, in the new dialog units, and
  // the dialog keeps its centre (where the user dragged it). Handled here, so the toolkit does
  // not resize the window to Windows' proposal, which scales the old pixels instead.
  const wxPoint centre = GetRect().GetPosition() + GetSize() / 2;
  PlaceControls();
  SetPosition(centre - GetSize() / 2);
  Refresh();
}

void MainDialog::OnInitDialog(wxInitDialogEvent& event) {
  // The toolkit initialises a dialog each time it is shown; the socket is made once.
  if (m_initialised) {
    event.Skip();
    return;
  }
  m_initialised = true;
  m_socket = MakeLinkSocket(m_options);
  m_session.UseSocket(m_socket.get());
  wxDialog::OnInitDialog(event);
  SetIcons(m_icon);

  m_serialField.Attach(this, kIdSerialField);
  m_serialField.SetRange(0.0, 40000.0, false);
  m_serialField.SetDecimals(0);
  m_serialField.LimitText(5);
  m_serialField.SetValue(0.0);

  if (wxWindow* start = FindWindow(wxID_OK)) start->SetFocus();
}

void MainDialog::OnOK(wxCommandEvent& /*event*/) {
  // Enter presses "Start" while the field still has the focus: no commit has run, so let the
  // value follow the shown text first.
  m_serialField.UpdateFromText();
  if (m_starting) return;  // cannot happen: input is off during a Start
  m_starting = true;
  EnableInput(false);
  SetStartInProgress(true);
  const bool done = m_session.StartProcedure(m_serialField.GetValue());
  SetStartInProgress(false);
  // Ended by a signal: the device was left as the message would have said; nothing more shows.
  if (const int signal = InterruptSignal(); signal != 0) std::_Exit(128 + signal);
  m_waitCursor.reset();  // whatever happened on the way
  m_stageLine->SetLabel(wxEmptyString);
  m_starting = false;
  EnableInput(true);
  if (done) EndModal(wxID_OK);
}

void MainDialog::EnableInput(bool enable) {
  // The focus goes back where it was: a failed Start leaves the dialog as it was.
  if (!enable) m_focusBeforeStart = wxWindow::FindFocus();
  m_serialField.Enable(enable);
  if (wxWindow* start = FindWindow(wxID_OK)) start->Enable(enable);
  if (enable && m_focusBeforeStart != nullptr && IsDescendant(m_focusBeforeStart)) {
    m_focusBeforeStart->SetFocus();
  }
}

void MainDialog::KeepWindowAlive() {
  // Input for the disabled controls is dropped by the toolkit; keys reach OnCharHook, which drops
  // them, and the close box is refused in OnClose.
  // YieldFor, unlike Yield(true), also runs inside an outer yield (a test pumping the dialog).
  if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL);
}

void MainDialog::OnCharHook(wxKeyEvent& event) {
  if (m_starting) return;  // dropped: not kept for after the Start
  if (event.GetKeyCode() == WXK_ESCAPE && event.GetModifiers() == wxMOD_NONE) {
    Close();  // as the close box: cancel, no device traffic
    return;
  }
  event.Skip();
}

void MainDialog::OnClose(wxCloseEvent& event) {
  // The Start runs to its end: the device must not be left half reconfigured.
  if (m_starting && event.CanVeto()) {
    event.Veto();
    return;
  }
  event.Skip();
}

void MainDialog::OnDestroy(wxWindowDestroyEvent& event) {
  if (event.GetEventObject() == this) {
    m_session.UseSocket(nullptr);
    m_socket.reset();
  }
  event.Skip();
}

void MainDialog::ShowMessage(std::string_view text, MessageStyle style) {
  if (InterruptSignal() != 0) return;  // the dialog is ending: no box waits for a click
  // What the user typed while the Start ran goes before the box shows, not into it.
  if (m_starting) KeepWindowAlive();
  m_stageLine->SetLabel(wxEmptyString);
  // The message box gets the normal cursor even in the middle of a Start.
  if (m_waitCursor) m_waitCursor->Suspend();
  // A box comes after the device's port and socket are done with: while it is shown, a signal
  // ends the dialog at once, as it does when no Start runs.
  const bool in_start = StartInProgress();
  SetStartInProgress(false);
  ShowMessageBox(this, text, style);
  SetStartInProgress(in_start);
  if (m_waitCursor) m_waitCursor->Resume();
}

void MainDialog::Stage(std::string_view what) {
  m_stageLine->SetLabel(FromUtf8(what) + wxString::FromUTF8("\u2026"));
  m_stageLine->Update();  // now, not after the Start
}

void MainDialog::BeginWait() {
  m_waitCursor.emplace();
}

void MainDialog::EndWait() {
  m_waitCursor.reset();
}

// The message map.
// clang-format off
wxBEGIN_EVENT_TABLE(MainDialog, wxDialog)
  EVT_INIT_DIALOG(MainDialog::OnInitDialog)
  EVT_BUTTON(wxID_OK, MainDialog::OnOK)
  EVT_CHAR_HOOK(MainDialog::OnCharHook)
  EVT_CLOSE(MainDialog::OnClose)
  EVT_WINDOW_DESTROY(MainDialog::OnDestroy)
  EVT_DPI_CHANGED(MainDialog::OnDpiChanged)
wxEND_EVENT_TABLE()
// clang-format on

}  // namespace quillon
