#pragma once
// FtpForm: the main window. Turns the URL, "Save as", thread count and attempts into a
// DownloadJob on "Go", shows each thread's log page and bar and the job bar (with the reasons
// of a failure), tells the user when a job ends in the background, and stops the job when the
// window closes. It owns the settings record (loaded when the window is made, saved
// when it closes). Everything here runs on the UI thread; the job's workers reach the window
// only through JobChanged (a queued wake-up) and the 100 ms poll of the job's snapshot and log.
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/FtpFormBase.h"
#include "app/JobNotice.h"
#include "job/DownloadJob.h"
#include "settings/Settings.h"

class QMimeData;
class QTimer;
class QUrl;
class TabForm1;

class FtpForm : public FtpFormBase, private JobObserver {
    Q_OBJECT
public:
    // Asks the user a Yes/No question (text, caption); true means Yes.
    using Question = std::function<bool(const QString& text, const QString& caption)>;

    // arguments: the command line without the program name; the first one is the URL.
    explicit FtpForm(const QStringList& arguments = {}, QWidget* parent = nullptr);
    ~FtpForm() override;

    // Replaces the message box of the existing-files question (tests answer it directly).
    void SetQuestion(Question question) { ask = std::move(question); }
    // Opens a file or folder with the desktop's program for it (QDesktopServices by default).
    using UrlOpener = std::function<bool(const QUrl& url)>;
    void SetUrlOpener(UrlOpener opener) { openUrl = std::move(opener); }
    // Shows the notice of a job that ended in the background (a desktop notification by
    // default).
    using Notifier = std::function<void(const JobNoticeText& text)>;
    void SetNotifier(Notifier notifier) { notify = std::move(notifier); }
    // The URL a drop carries: its first URL, else the first line of its text; "" for none.
    static QString DroppedUrl(const QMimeData* data);

    SharedSettings& SettingsRecord() { return settings; }
    DownloadJob* Job() const { return job.get(); }
    const std::vector<WProgressBar*>& ThreadBars() const { return threadBars; }
    TabForm1* Page(int threadNumber) const;
    bool IsClosing() const { return closing; }
    // A job has started and has neither its verdict nor been stopped.
    bool JobRunning() const;

    // Handlers, bound to the controls' events.
    void StartJob();
    // "Stop" and Esc: stops the workers as closing the window does (no verdict, no join, the
    // part files kept), and shows the job as stopped; the next "Go" resumes it.
    void StopJob();
    void UrlChanged();
    void AttemptsChanged();
    void BrowseClicked();
    void OptionsClicked();
    void AboutClicked();
    // "Open file" and "Open folder", after a success.
    void OpenFileClicked();
    void OpenFolderClicked();
    // Marks the window as closing and stops the job's workers without a verdict.
    void WindowClosing();
    // Moves the job's queued log texts into the pages and shows its latest snapshot.
    void Refresh();

protected:
    void closeEvent(QCloseEvent* event) override;
    // A URL dropped anywhere on the window replaces the URL box's text.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void JobChanged() override;  // worker threads
    void LoadSettingsIntoWindow();
    void ProposeStartupUrl(const QStringList& arguments);
    void TearDownJob();
    void RemoveThreadBarsAndPages();
    void CreateThreadBar(int i, int barWidth, int barTop);
    bool DrainLogs();
    void ApplyView(const JobView& view);
    bool AskQuestion(const QString& text, const QString& caption);
    // Enables "Go" when the URL and "Save as" can start a job; its tooltip says why not.
    void UpdateGoButton();
    // What the window adds to the settings for its jobs: https with the system's trust store,
    // and the environment's proxies while the settings name none.
    JobOptions WindowJobOptions() const;
    // Shows "Stop" in the place of "Go" while a job runs and "Go" is disabled.
    void ShowGoOrStop();
    void ShowStopped();
    // After "Job failed": the reasons in plain words under the job bar and in its tooltip.
    QStringList ShowFailureReasons(const JobView& view);
    // After the verdict: "Open file" / "Open folder" after a success, and a notice and the
    // taskbar's urgency hint when the window is not the active one.
    void JobEnded(bool succeeded, const QStringList& reasons);

    SharedSettings settings;
    std::unique_ptr<DownloadJob> job;
    std::vector<WProgressBar*> threadBars;
    QTimer* refreshTimer = nullptr;
    Question ask;
    UrlOpener openUrl;
    Notifier notify;

    int threadCount = 0;
    std::string url;
    std::string targetPath;
    bool closing = false;
    bool closedDown = false;   // WindowClosing and SaveSettings have run
    bool tearingDown = false;  // waiting for workers: the pump may re-enter handlers
    bool closeRequested = false;
    bool verdictShown = false;
    bool jobStopped = false;  // StopJob ended the job: its view is no longer shown
    // Each thread's last telling log line: what its last failed attempt said.
    std::vector<std::string> lastLines;
};
