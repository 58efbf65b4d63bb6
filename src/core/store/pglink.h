#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

class QSqlDatabase;
struct pg_conn;
struct pg_result;

/// The result of one statement run through PgLink: every value as the text
/// the server sent, read without a QVariant per cell (range reads return
/// tens of thousands of cells).
class PgResult
{
public:
    int rows() const;
    bool isNull(int row, int column) const;
    std::string_view text(int row, int column) const;
    QString string(int row, int column) const;
    /// 0 for a NULL or a text that is no whole number.
    qint64 int64(int row, int column) const;
    /// NaN for a NULL.
    double real(int row, int column) const;

private:
    friend class PgLink;
    struct Clear
    {
        void operator()(pg_result *result) const;
    };
    std::unique_ptr<pg_result, Clear> m_result;
};

/// Statements run straight on the server connection a QSqlDatabase holds,
/// with their values bound as text parameters ($1, $2, …). The caller's
/// connection and thread; nothing is kept between calls but the last error.
class PgLink
{
public:
    explicit PgLink(QSqlDatabase &db);
    ~PgLink();
    PgLink(const PgLink &) = delete;
    PgLink &operator=(const PgLink &) = delete;

    /// False when the driver is not PostgreSQL's.
    bool isValid() const { return m_conn != nullptr; }

    /// Runs `sql`; a null QByteArray among `params` is SQL NULL. False with
    /// error() and sqlState() set when the server refused or is gone.
    bool exec(const QByteArray &sql, const std::vector<QByteArray> &params = {}, PgResult *result = nullptr);
    bool exec(const char *sql, const std::vector<QByteArray> &params = {}, PgResult *result = nullptr)
    {
        return exec(QByteArray(sql), params, result);
    }

    /// Runs `sql`, a COPY … TO STDOUT, and hands each message it sends (in
    /// the text format a line, its newline included; in the binary format a
    /// row, the first after the header, the trailer alone) to `line` as it
    /// arrives: one statement, however many rows, with nothing held but the
    /// message at hand. The `params` ($1, $2, …)
    /// go in as quoted literals, since COPY takes no parameters. When `line`
    /// returns false the server is asked to stop and what it still sends is
    /// dropped; false is returned then, with `stopped` set.
    bool copyOut(const QByteArray &sql, const std::vector<QByteArray> &params,
                 const std::function<bool(const char *line, int size)> &line, bool *stopped = nullptr);

    /// Object names the statements spell as placeholders ("{SUM}"), put in
    /// before each statement is sent; the parameters are left alone.
    void setNames(const std::vector<std::pair<QByteArray, QByteArray>> &names) { m_names = names; }

    QString error() const { return m_error; }
    /// The five-character SQLSTATE of the last failure ("40P01" …).
    QByteArray sqlState() const { return m_state; }
    /// Whether the session is inside a transaction block.
    bool inTransaction() const;

    /// Opens a REPEATABLE READ, READ ONLY transaction, so several statements
    /// of one read see the same rows, unless the session is in a transaction
    /// already, and offers its snapshot; endSnapshot() closes what
    /// beginSnapshot() opened.
    bool beginSnapshot();
    void endSnapshot();

    /// Names the snapshot of the REPEATABLE READ transaction just begun so
    /// that other connections may read in it (share(), join()); where the
    /// server cannot, the transaction is begun anew without. False only
    /// when no transaction could be begun.
    bool offerSnapshot();
    /// What a second connection needs to read what this one reads: the
    /// options it was opened with, the snapshot offered in this
    /// transaction, and the settings a read may have changed in it.
    /// `snapshot` is empty where none was offered.
    struct Sharing
    {
        std::vector<std::pair<QByteArray, QByteArray>> options;
        QByteArray snapshot;
        std::vector<std::pair<QByteArray, QByteArray>> settings;
        std::vector<std::pair<QByteArray, QByteArray>> names;
    };
    Sharing share();
    /// A connection of its own that sees the rows `sharing` names, with its
    /// settings; null where it cannot be opened or the snapshot is gone.
    /// Usable from another thread. Its transaction ends with the object;
    /// the connection is kept for the next join() (one at most).
    static std::unique_ptr<PgLink> join(const Sharing &sharing);

private:
    PgLink() = default;

    pg_conn *m_conn = nullptr;
    QString m_error;
    QByteArray m_state;
    bool m_ownSnapshot = false;
    bool m_ownConnection = false;
    std::vector<std::pair<QByteArray, QByteArray>> m_options; ///< a join()'s
    std::vector<std::pair<QByteArray, QByteArray>> m_names;
};

/// Array literals for parameters: {1,2,3} and {"a","b"}.
QByteArray pgArray(const std::vector<qint64> &values);
QByteArray pgArray(const QStringList &values);
QByteArray pgNumber(qint64 value);
QByteArray pgNumber(double value);
