// Message boxes a window opens while a test acts on it: recorded and answered from a timer, since
// the box runs its own event loop inside the action.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

struct BoxSeen {
    bool shown = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool ownedByForm = false;
};

inline BoxSeen SeenBox(QMessageBox *box, QWidget *expectedOwner = nullptr)
{
    BoxSeen seen;
    seen.shown = true;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    for (QAbstractButton *b : box->buttons()) seen.buttons << b->text();
    seen.ownedByForm = expectedOwner && box->parentWidget() == expectedOwner;
    return seen;
}

// Runs action; the first message box it opens is recorded and answered with answer.
inline BoxSeen CaptureBox(const std::function<void()> &action, QMessageBox::StandardButton answer = QMessageBox::Ok,
                          QWidget *expectedOwner = nullptr)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seen.shown) return;
        seen = SeenBox(box, expectedOwner);
        box->button(answer)->click();
    });
    poll.start();
    action();
    poll.stop();
    return seen;
}

// Runs action; the message boxes it opens are recorded and answered in turn; one beyond the
// answers, or one without the button asked for, is cancelled.
inline QList<BoxSeen> CaptureBoxes(const std::function<void()> &action, QList<QMessageBox::StandardButton> answers)
{
    QList<BoxSeen> seen;
    QPointer<QMessageBox> last;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == last) return;
        last = box;
        seen << SeenBox(box);
        QMessageBox::StandardButton answer = answers.isEmpty() ? QMessageBox::Cancel : answers.takeFirst();
        // Answered after this poll returns, so that a box the answer opens is seen too.
        QTimer::singleShot(0, box, [box, answer] {
            if (QAbstractButton *b = box->button(answer))
                b->click();
            else
                box->reject();
        });
    });
    poll.start();
    action();
    poll.stop();
    return seen;
}

// The texts of the boxes CaptureBoxes answered.
inline QStringList AnswerBoxes(const std::function<void()> &action, QList<QMessageBox::StandardButton> answers)
{
    QStringList texts;
    for (const BoxSeen &box : CaptureBoxes(action, std::move(answers))) texts << box.text;
    return texts;
}
