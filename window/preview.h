#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>

class QAudioOutput;
class QMediaPlayer;

// The space-bar preview: plays one file at a time and reports on the status line what it
// plays and how far it has got. A player exists only while a preview plays, so starting
// the program never waits for the media framework and no two files ever play together.
// Everything runs on the main thread but the first look at the file, which a slow or
// sleeping disk may hold up.
class QLPreview final : public QObject
{
    Q_OBJECT
public:
    explicit QLPreview(QObject *parent = nullptr);
    ~QLPreview() override;

    // Plays the file at path, named name on the status line. Whatever was playing stops.
    void play(const QByteArray &path, const QString &name);
    // Stops the preview, if there is one, without a word on the status line.
    void stop();

    // The file being previewed, from play() until it ends, stops or fails; empty otherwise.
    QByteArray path() const { return m_path; }
    bool isActive() const { return !m_path.isEmpty(); }
    // The title of the menu items that start and stop a preview.
    QString actionTitle() const;
    // The player of the file being previewed, once it has been opened; null otherwise.
    QMediaPlayer *player() const { return m_player; }

Q_SIGNALS:
    // A line for the status line: what plays and how far, or why a file cannot be played.
    void statusChanged(const QString &text);
    // The preview began (true) or is over (false), however it ended.
    void activeChanged(bool active);
    // The file played to its end.
    void finished();

private:
    void opened(quint64 generation, int fd, int error);
    void createPlayer();
    void showProgress();
    void report(const QString &text);
    // Ends the player and closes the descriptor; the preview is over.
    void release();
    QString failureText(int error) const;

    QMediaPlayer *m_player = nullptr;
    QAudioOutput *m_output = nullptr;
    QThreadPool m_openers;
    QByteArray m_path;
    QString m_name;
    QString m_statusText; // the last line reported, so that an unchanged one is not sent again
    int m_fd = -1;           // the previewed file, open for reading while the player has it
    quint64 m_generation = 0; // which play() a late answer from an opener belongs to
};
