#include "app/FtpForm.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <cstdint>

#include "app/SaveLocation.h"
#include "engine/ProxyEnvironment.h"
#include "forms/About.h"
#include "forms/Options.h"
#include "forms/ResizeRules.h"
#include "forms/TabForm1.h"
#include "forms/TextNumbers.h"
#include "forms/WProgressBar.h"
#include "forms/WUpDown.h"
#include "job/FailureText.h"
#include "job/JobInputs.h"
#include "job/PartFiles.h"
#include "job/ProgressTexts.h"
#include "net/AsciiText.h"
#include "net/WThread.h"
#include "settings/SettingsFile.h"

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
constexpr int kRefreshMs = 100;
const char* const kStoppedText = "Job stopped";
const char* const kStoppedTip = "Stopped";
const char* const kStoppedNote = "Stopped. The part files are kept: \"Go\" resumes the job.";

// Why "Go" is disabled, in its tooltip; none while it is enabled.
QString GoDisabledTooltip(InputProblem problem) {
    switch (problem) {
        case InputProblem::NoUrl:
            return "No URL: type or paste the address of the file";
        case InputProblem::NotAUrl:
            return "Not a URL: Brindle fetches ftp://, http:// and https:// addresses";
        case InputProblem::NoTarget:
            return "No target: say in \"Save as\" where the file goes";
        case InputProblem::None:
            break;
    }
    return QString();
}

// Waiting for a worker on the UI thread keeps the window alive; other threads never pump.
void PumpUiEvents() {
    if (QCoreApplication::instance() != nullptr &&
        QThread::currentThread() == QCoreApplication::instance()->thread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

}  // namespace

FtpForm::FtpForm(const QStringList& arguments, QWidget* parent) : FtpFormBase(parent) {
    WThread::SetMessagePump(PumpUiEvents);
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(kRefreshMs);
    connect(refreshTimer, &QTimer::timeout, this, [this] { Refresh(); });

    connect(textb_1, &QLineEdit::textChanged, this, [this] { UrlChanged(); });
    connect(textb_2, &QLineEdit::textChanged, this, [this](const QString& text) {
        textb_2->setToolTip(text);  // the whole path, however narrow the box
        UpdateGoButton();
    });
    connect(cb_3, &QPushButton::clicked, this, [this] { OpenFileClicked(); });
    connect(cb_4, &QPushButton::clicked, this, [this] { OpenFolderClicked(); });
    // Drops go to the window, wherever they land: the boxes would insert the text instead.
    setAcceptDrops(true);
    for (QLineEdit* box : {textb_1, textb_2, textb_3, textb_4}) box->setAcceptDrops(false);
    connect(pictbttn_1, &QToolButton::clicked, this, [this] { BrowseClicked(); });
    connect(cb_1, &QPushButton::clicked, this, [this] { StartJob(); });
    connect(cb_2, &QPushButton::clicked, this, [this] { StopJob(); });
    // Enter in either box does what "Go" would, and only when "Go" could be clicked.
    for (QLineEdit* box : {textb_1, textb_2}) {
        connect(box, &QLineEdit::returnPressed, this, [this] {
            if (cb_1->isEnabled()) StartJob();
        });
    }
    connect(actionStop, &QAction::triggered, this, [this] { StopJob(); });
    connect(textb_4, &QLineEdit::textChanged, this, [this] { AttemptsChanged(); });
    connect(menuOptions, &QAction::triggered, this, [this] { OptionsClicked(); });
    connect(menuAbout, &QAction::triggered, this, [this] { AboutClicked(); });
    // The same path as the close box: closeEvent stops the job and saves the settings.
    connect(actionQuit, &QAction::triggered, this, [this] { close(); });
    // The tab control sizes its pages itself whenever it changes size.

    LoadSettingsIntoWindow();
    UpdateGoButton();
    ProposeStartupUrl(arguments);
}

FtpForm::~FtpForm() {
    if (!closedDown) {
        WindowClosing();
        SaveSettings(settings.Snapshot());
        closedDown = true;
    }
    job.reset();  // before the window goes: no worker may call JobChanged on a dead window
    WThread::SetMessagePump({});
}

TabForm1* FtpForm::Page(int threadNumber) const {
    if (threadNumber < 0 || threadNumber >= tabctrl_1->count()) return nullptr;
    return dynamic_cast<TabForm1*>(tabctrl_1->widget(threadNumber));
}

void FtpForm::LoadSettingsIntoWindow() {
    Settings loaded;
    LoadSettings(loaded);
    settings.Store(loaded);
    updown_1->SetRange(1, std::max(1, loaded.maxthreads));
    updown_2->SetPos(Low16(loaded.attempts));  // shows it, and AttemptsChanged stores it
}

void FtpForm::ProposeStartupUrl(const QStringList& arguments) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    QString text = clipboard != nullptr ? clipboard->text().trimmed() : QString();
    if (text.startsWith("http://", Qt::CaseInsensitive) ||
        text.startsWith("ftp://", Qt::CaseInsensitive)) {
        textb_1->setText(text);
    }
    if (!arguments.isEmpty()) textb_1->setText(arguments.first());
}

void FtpForm::UrlChanged() {
    std::string text = textb_1->text().toStdString();
    if (std::optional<std::string> name = ProposeTargetName(text)) {
        textb_2->setText(ProposedTarget(*name));
    }
    UpdateGoButton();
}

void FtpForm::UpdateGoButton() {
    const InputProblem problem =
        CheckJobInputs(textb_1->text().toStdString(), textb_2->text().toStdString());
    cb_1->setEnabled(problem == InputProblem::None);
    cb_1->setToolTip(GoDisabledTooltip(problem));
    ShowGoOrStop();
}

JobOptions FtpForm::WindowJobOptions() const {
    JobOptions options;
    options.httpsAllowed = true;  // checked against the system's trust store
    // As brindle-get does: without the settings' proxies, the environment's route each URL.
    if (!settings.Snapshot().useproxy) {
        options.environmentProxies = ReadEnvironmentProxies(ProcessEnvironment());
    }
    return options;
}

bool FtpForm::JobRunning() const {
    return job && !jobStopped && !job->IsFinished();
}

void FtpForm::ShowGoOrStop() {
    // Focus follows the button, so Enter or Space on it keeps working after the swap.
    const bool stop = JobRunning() && !cb_1->isEnabled();
    QPushButton* shown = stop ? cb_2 : cb_1;
    QPushButton* hidden = stop ? cb_1 : cb_2;
    const bool hadFocus = hidden->hasFocus();
    shown->setVisible(true);
    hidden->setVisible(false);
    if (hadFocus) shown->setFocus();
}

void FtpForm::AttemptsChanged() {
    int attempts = LeadingInteger(textb_4->text().toStdString());
    settings.Update([attempts](Settings& s) { s.attempts = attempts; });
}

void FtpForm::StartJob() {
    // The waits below dispatch events, so a second click or a close can arrive meanwhile.
    if (tearingDown || closing) return;
    cb_1->setEnabled(false);
    TearDownJob();
    ShowGoOrStop();
    if (closeRequested) {
        closeRequested = false;
        close();
        return;
    }

    threadCount = Low16(updown_1->Pos());
    // The checks of "Go" are made on the trimmed URL; a blank around it would only fail.
    url = std::string(TrimAscii(textb_1->text().toStdString()));
    targetPath = textb_2->text().toStdString();

    std::string question = ExistingFilesQuestion(targetPath, threadCount);
    if (!question.empty() && !AskQuestion(QString::fromStdString(question),
                                          QString::fromLatin1(kExistingFilesCaption))) {
        UpdateGoButton();
        return;
    }

    const QFileInfo target(QString::fromStdString(targetPath));
    if (target.isAbsolute()) {
        // The download folder of a fresh account may not be there yet.
        if (target.absolutePath() == DownloadFolder()) QDir().mkpath(DownloadFolder());
        RememberFolder(target.absoluteFilePath());
    }
    setWindowTitle(QString::fromStdString(targetPath) + " - Brindle");
    cb_1->setEnabled(false);
    int barWidth = (client->width() - 20) / std::max(1, threadCount);
    int barTop = progb_1->y() - 20;

    job = std::make_unique<DownloadJob>(settings, static_cast<JobObserver*>(this));
    verdictShown = false;
    jobStopped = false;
    label_5->clear();
    label_5->setToolTip(QString());
    cb_3->hide();
    cb_4->hide();
    progb_1->setToolTip(QString());
    lastLines.assign(static_cast<size_t>(std::max(0, threadCount)), std::string());
    progb_1->SetPosition(0);
    progb_1->SetBarColor(kBlue);
    progb_1->SetFailed(false);
    progb_1->SetBarText(QString());

    // Every bar and page exists before the first worker can report.
    for (int i = 0; i < threadCount; ++i) {
        CreateThreadBar(i, barWidth, barTop);
        auto* page = new TabForm1();
        // A drop on the log goes to the URL box.
        page->textb_1->setAcceptDrops(false);
        page->textb_1->viewport()->setAcceptDrops(false);
        tabctrl_1->addTab(page, QString::asprintf("Thread #%d", i));
    }
    job->Start(url, targetPath, threadCount, WindowJobOptions());
    refreshTimer->start();
    ShowGoOrStop();
}

void FtpForm::StopJob() {
    if (tearingDown || closing || !JobRunning()) return;
    refreshTimer->stop();
    // What the workers said up to now stays on the pages; from here on they are silent.
    DrainLogs();
    ApplyView(job->Snapshot());
    job->SetClosing();
    tearingDown = true;
    job->StopAllWorkers();
    tearingDown = false;
    DrainLogs();
    if (job->IsFinished()) {
        // The verdict came before the stop could keep it away: it stands.
        ApplyView(job->Snapshot());
    } else {
        jobStopped = true;
        ShowStopped();
    }
    if (closeRequested) {
        closeRequested = false;
        close();
    }
}

void FtpForm::ShowStopped() {
    progb_1->SetBarText(kStoppedText);
    progb_1->SetBarColor(kBlue);
    progb_1->SetFailed(false);
    for (WProgressBar* bar : threadBars) {
        if (!bar->Failed() && bar->value() < 100) bar->setToolTip(kStoppedTip);
    }
    label_5->setText(kStoppedNote);
    UpdateGoButton();
}

void FtpForm::TearDownJob() {
    if (job) {
        tearingDown = true;
        refreshTimer->stop();
        job->StopAllWorkers();
        tearingDown = false;
        // The stopped job's own verdict stays on the job bar until the new job resets it.
        if (!closing && !jobStopped) ApplyView(job->Snapshot());
        job.reset();
    }
    RemoveThreadBarsAndPages();
}

void FtpForm::RemoveThreadBarsAndPages() {
    for (WProgressBar* bar : threadBars) {
        rules->Remove(bar);
        delete bar;
    }
    threadBars.clear();
    while (tabctrl_1->count() > 0) {
        QWidget* page = tabctrl_1->widget(0);
        tabctrl_1->removeTab(0);
        delete page;
    }
}

void FtpForm::CreateThreadBar(int i, int barWidth, int barTop) {
    auto* bar = new WProgressBar(client, WProgressBar::TextKind::Percent);
    bar->setObjectName(QString::asprintf("threadBar_%d", i));
    bar->setGeometry(8 + i * barWidth, barTop, barWidth, 16);
    bar->SetBarColor(kBlue);
    bar->setToolTip(kConnectingTooltip);
    bar->show();
    int n = threadCount;
    rules->Add(bar, ResizeRule{i * 100 / n, 100, 100 / n, 0});
    threadBars.push_back(bar);
}

void FtpForm::JobChanged() {
    QMetaObject::invokeMethod(
        this, [this] { Refresh(); }, Qt::QueuedConnection);
}

void FtpForm::Refresh() {
    if (closing || !job || jobStopped) return;
    DrainLogs();
    JobView view = job->Snapshot();
    ApplyView(view);
    // Lines logged before the verdict are all queued by now.
    if (view.finished && !DrainLogs()) refreshTimer->stop();
}

bool FtpForm::DrainLogs() {
    std::vector<std::pair<int, std::string>> lines = job->TakeLogLines();
    for (const auto& [thread, text] : lines) {
        std::string telling = TellingLine(text);
        if (!telling.empty() && thread >= 0 && thread < static_cast<int>(lastLines.size())) {
            lastLines[static_cast<size_t>(thread)] = std::move(telling);
        }
    }
    // Consecutive texts of one thread go in as one append: fewer layouts, same text.
    size_t i = 0;
    while (i < lines.size()) {
        int thread = lines[i].first;
        std::string text;
        for (; i < lines.size() && lines[i].first == thread; ++i) text += lines[i].second;
        if (TabForm1* page = Page(thread)) page->AppendText(QString::fromStdString(text));
    }
    return !lines.empty();
}

void FtpForm::ApplyView(const JobView& view) {
    size_t count = std::min(view.threads.size(), threadBars.size());
    for (size_t i = 0; i < count; ++i) {
        const ThreadBarView& t = view.threads[i];
        WProgressBar* bar = threadBars[i];
        bar->SetPosition(t.position);
        QString tip = QString::fromStdString(t.tooltip);
        if (t.failed && (i < lastLines.size() || t.failure.Known())) {
            const std::string reason =
                ThreadFailure(t.failure, i < lastLines.size() ? lastLines[i] : std::string());
            if (!reason.empty()) tip += ": " + QString::fromStdString(reason);
        }
        if (bar->toolTip() != tip) bar->setToolTip(tip);
        bar->SetBarColor(t.failed ? kRed : kBlue);
        bar->SetFailed(t.failed);
    }
    progb_1->SetPosition(view.position);
    progb_1->SetBarText(QString::fromStdString(view.text));
    progb_1->SetBarColor(view.failed ? kRed : kBlue);
    progb_1->SetFailed(view.failed);
    if (view.finished && !verdictShown) {
        verdictShown = true;
        JobEnded(view.succeeded, view.failed ? ShowFailureReasons(view) : QStringList());
        cb_1->setText("Go");
        UpdateGoButton();
    }
}

QStringList FtpForm::ShowFailureReasons(const JobView& view) {
    std::vector<bool> failed;
    std::vector<Failure> failures;
    for (const ThreadBarView& t : view.threads) {
        failed.push_back(t.failed);
        failures.push_back(t.failure);
    }
    QStringList reasons;
    for (const std::string& line : JobFailureLines(failed, lastLines, failures)) {
        reasons << QString::fromStdString(line);
    }
    // One line under the bar; every reason, one a line, in the tooltips.
    label_5->setText(reasons.join("; "));
    label_5->setToolTip(reasons.join("\n"));
    progb_1->setToolTip(reasons.join("\n"));
    return reasons;
}

void FtpForm::JobEnded(bool succeeded, const QStringList& reasons) {
    cb_3->setVisible(succeeded);
    cb_4->setVisible(succeeded);
    if (isActiveWindow() || closing) return;
    const JobNoticeText text = NoticeText(succeeded, QString::fromStdString(targetPath), reasons);
    if (notify) {
        notify(text);
    } else {
        SendDesktopNotice(text);  // no bus: nothing to do
    }
    QApplication::alert(this);
}

void FtpForm::OpenFileClicked() {
    const QUrl url =
        QUrl::fromLocalFile(QFileInfo(QString::fromStdString(targetPath)).absoluteFilePath());
    openUrl ? openUrl(url) : QDesktopServices::openUrl(url);
}

void FtpForm::OpenFolderClicked() {
    const QUrl url =
        QUrl::fromLocalFile(QFileInfo(QString::fromStdString(targetPath)).absolutePath());
    openUrl ? openUrl(url) : QDesktopServices::openUrl(url);
}

bool FtpForm::AskQuestion(const QString& text, const QString& caption) {
    if (ask) return ask(text, caption);
    // A label breaks lines at LF; the CR of each CR LF pair would only show as a gap.
    QString shown = text;
    shown.replace("\r\n", "\n");
    QMessageBox box(QMessageBox::Question, caption, shown, QMessageBox::Yes | QMessageBox::No,
                    this);
    return box.exec() == QMessageBox::Yes;
}

void FtpForm::BrowseClicked() {
    QFileDialog dialog(this, "Save as", StartFolder());
    dialog.setObjectName("saveAsDialog");
    dialog.setAcceptMode(QFileDialog::AcceptSave);  // asks before overwriting a file
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(QFileInfo(textb_2->text()).fileName());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString chosen = dialog.selectedFiles().first();
        textb_2->setText(chosen);
        RememberFolder(chosen);
    }
}

QString FtpForm::DroppedUrl(const QMimeData* data) {
    if (data == nullptr) return QString();
    if (data->hasUrls() && !data->urls().isEmpty()) {
        return data->urls().first().toString(QUrl::FullyEncoded);
    }
    if (data->hasText()) return data->text().trimmed().section('\n', 0, 0).trimmed();
    return QString();
}

void FtpForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedUrl(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void FtpForm::dropEvent(QDropEvent* event) {
    const QString url = DroppedUrl(event->mimeData());
    if (url.isEmpty()) return;
    textb_1->setText(url);  // proposes "Save as" as typing would
    event->acceptProposedAction();
}

void FtpForm::OptionsClicked() {
    if (tearingDown || closing) return;
    {
        Options dialog(settings, this);
        dialog.exec();
    }
    updown_1->SetRange(1, std::max(1, settings.Snapshot().maxthreads));
}

void FtpForm::AboutClicked() {
    if (tearingDown || closing) return;
    About dialog(this);
    dialog.exec();
}

void FtpForm::WindowClosing() {
    closing = true;
    refreshTimer->stop();
    if (job) {
        job->SetClosing();
        tearingDown = true;
        job->StopAllWorkers();
        tearingDown = false;
    }
    RemoveThreadBarsAndPages();
}

void FtpForm::closeEvent(QCloseEvent* event) {
    if (tearingDown) {
        // StartJob is waiting for the old workers; it closes the window when it is done.
        if (!closing) closeRequested = true;
        event->ignore();
        return;
    }
    if (!closedDown) {
        WindowClosing();
        SaveSettings(settings.Snapshot());
        closedDown = true;
    }
    QMainWindow::closeEvent(event);
}
