#pragma once

class QString;
class QTranslator;

namespace rtu {

class CMainFrame;

// Loads Qt's own texts (standard buttons, the folder chooser, ...) for
// `language` (a locale name such as zh_CN, key Language of section SLRtuApp
// in config.ini) into `translator` and installs it in the application. False,
// with nothing installed, when Qt has no texts for it (English is built in).
bool InstallQtTranslations(const QString& language, QTranslator& translator);

// Runs the data centre with its main window in the current directory until
// the operator leaves (0) or a scheduled restart ends this process (16).
// Without a display it says so on standard error and returns 3, unless
// QT_QPA_PLATFORM names a platform (offscreen for tests). With RTU_SCREENSHOT
// set to a file name, the main window is saved there as a PNG after
// RTU_SCREENSHOT_AFTER milliseconds (default 5000) and the program ends.
int RunWindowed(int argc, char** argv);

// True when a window can be opened: QT_QPA_PLATFORM is set, a Wayland
// display is named, or DISPLAY names an X display that can be reached.
bool DisplayAvailable();

// Ends the runtime threads (CMainFrame::Destroy) on a helper thread while the
// calling user-interface thread keeps serving queued calls, so a runtime
// thread that posts to the window while it is being stopped is never left
// waiting. Call it after the runtime view has begun closing.
void DestroyRuntime(CMainFrame& frame);

}  // namespace rtu
