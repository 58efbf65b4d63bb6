#include "export/tableworkbookwriter.h"

#include "export/exportprogress.h"
#include "export/streamedrowtext.h"
#include "export/tabletextwriter.h"
#include "export/zipwriter.h"
#include "models/historytablemodel.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern const char WorkbookTheme[];

namespace {

constexpr int DefaultPixels = 100;
// Deflate's fastest level: the worksheet XML of a million rows (300 MB)
// deflates in under a second, three times faster than at the usual level,
// for a file a fifth larger.
constexpr int DeflateLevel = 1;
// The characters a worksheet cell holds.
constexpr int CellTextLimit = 32767;
// Cell styles, as styles.xml lists them.
enum Style { TitleStyle = 1, HeaderStyle = 2, TableStyle = 3 };

const char XmlHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Title: 18 pt, wrapped, centred both ways. Header: bold on RGB(191,191,191),
// centred, thin black borders. Table cells: thin black borders.
const char Styles[] =
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><fonts count=\"3\"><font>"
    "<sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme val=\"minor\"/></font>"
    "<font><sz val=\"18\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme val=\"minor\"/>"
    "</font><font><b/><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme "
    "val=\"minor\"/></font></fonts><fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill><fill>"
    "<patternFill patternType=\"gray125\"/></fill><fill><patternFill patternType=\"solid\"><fgColor "
    "rgb=\"FFBFBFBF\"/><bgColor indexed=\"64\"/></patternFill></fill></fills><borders count=\"2\"><border><left/>"
    "<right/><top/><bottom/><diagonal/></border><border><left style=\"thin\"><color rgb=\"FF000000\"/></left><right "
    "style=\"thin\"><color rgb=\"FF000000\"/></right><top style=\"thin\"><color rgb=\"FF000000\"/></top><bottom "
    "style=\"thin\"><color rgb=\"FF000000\"/></bottom><diagonal/></border></borders><cellStyleXfs count=\"1\"><xf "
    "numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs><cellXfs count=\"4\"><xf numFmtId=\"0\" "
    "fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/><xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" "
    "xfId=\"0\" applyFont=\"1\" applyAlignment=\"1\"><alignment horizontal=\"center\" vertical=\"center\" "
    "wrapText=\"1\"/></xf><xf numFmtId=\"0\" fontId=\"2\" fillId=\"2\" borderId=\"1\" xfId=\"0\" applyFont=\"1\" "
    "applyFill=\"1\" applyBorder=\"1\" applyAlignment=\"1\"><alignment horizontal=\"center\" vertical=\"center\"/>"
    "</xf><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"1\" xfId=\"0\" applyBorder=\"1\"/></cellXfs>"
    "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles><dxfs "
    "count=\"0\"/><tableStyles count=\"0\" defaultTableStyle=\"TableStyleMedium9\" "
    "defaultPivotStyle=\"PivotStyleLight16\"/></styleSheet>";

const char PackageRels[] =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
    "Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"xl/workbook.xml\"/><Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
    "Target=\"docProps/core.xml\"/><Relationship Id=\"rId3\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
    "Target=\"docProps/app.xml\"/></Relationships>";

const char SheetOpen[] =
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheetPr><pageSetUpPr "
    "fitToPage=\"1\"/></sheetPr><dimension ref=\"A1:";

// Printed, the columns fit the page's width (the last no longer comes on
// pages of its own); workbook.xml has the title and header rows head
// every page.
const char SheetClose[] =
    "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
    "<pageSetup fitToHeight=\"0\" orientation=\"portrait\"/></worksheet>";

const char RowOpen[] = "<row r=\"";
const char TitleRowAttributes[] = "\" ht=\"30\" customHeight=\"1\">";
const char TableRowAttributes[] = "\" ht=\"20\" customHeight=\"1\">";

// Bytes a cell's text cannot hold as they are: XML's markup characters
// and the control characters, which are written as "_xHHHH_".
constexpr std::array<bool, 256> SpecialBytes = [] {
    std::array<bool, 256> t = {};
    for (int c = 1; c < 0x20; ++c)
        t[size_t(c)] = c != '\t' && c != '\n';
    t['&'] = t['<'] = t['>'] = true;
    return t;
}();

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string columnName(int c)
{
    std::string name;
    for (++c; c > 0; c = (c - 1) / 26)
        name.insert(name.begin(), char('A' + (c - 1) % 26));
    return name;
}

// A column `chars` wide, as worksheets store it: padded by 5 pixels of a
// 7-pixel character and rounded down to 1/256 of a character.
std::string columnWidthText(int chars)
{
    if (chars <= 0)
        return "0";
    const long units = (long(chars) * 7 + 5) * 256 / 7;
    std::string text = std::to_string(units / 256);
    if (long frac = (units % 256) * 390625) { // 1/256 = 0.00390625
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08ld", frac);
        std::string f(digits);
        f.erase(f.find_last_not_of('0') + 1);
        text += '.' + f;
    }
    return text;
}

// Streams the workbook into the zip: each worksheet's XML is made row by
// row and deflated as it comes; the small parts follow the worksheets.
class WorkbookStream
{
public:
    WorkbookStream(QIODevice *out, const QByteArray &title, const QVector<QByteArray> &headers,
                   const QVector<int> &columnWidths)
        : m_zip(out, DeflateLevel)
        , m_title(title)
        , m_headers(headers)
        , m_columns(headers.size())
    {
        for (int c = 0; c < m_columns; ++c) {
            m_cellOpen.push_back("<c r=\"" + columnName(c));
            const int px = c < columnWidths.size() ? columnWidths.at(c) : DefaultPixels;
            const std::string n = std::to_string(c + 1);
            m_cols += "<col min=\"" + n + "\" max=\"" + n + "\" width=\"" + columnWidthText(workbookColumnWidth(px)) +
                      "\" customWidth=\"1\"/>";
        }
        m_lastColumn = columnName(m_columns - 1);
        m_buffer.reserve(FlushAt + 64 * 1024);
    }

    /// Starts the next worksheet with its title and header rows.
    bool newSheet()
    {
        if (m_sheets > 0 && !endSheet())
            return false;
        ++m_sheets;
        m_row = 0;
        if (!m_zip.beginEntry(sheetPath(m_sheets), int(sheetHead(WorksheetRowLimit).size())))
            return false;
        m_buffer += m_sheets == 1 ? "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews>"
                                  : "<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>";
        m_buffer += "<sheetFormatPr defaultRowHeight=\"15\"/><cols>" + m_cols + "</cols><sheetData>";
        beginRow(TitleRowAttributes);
        cell(0, TitleStyle, m_title.constData(), size_t(m_title.size()));
        for (int c = 1; c < m_columns; ++c) // merged into the title
            cell(c, TitleStyle, "", 0);
        m_buffer += "</row>";
        beginRow(TableRowAttributes);
        for (int c = 0; c < m_columns; ++c)
            cell(c, HeaderStyle, m_headers.at(c).constData(), size_t(m_headers.at(c).size()));
        m_buffer += "</row>";
        return flushIfFull();
    }

    /// A table row, its cells' UTF-8 texts in `cells`.
    bool row(const QVector<QByteArray> &cells)
    {
        beginRow(TableRowAttributes);
        for (int c = 0; c < m_columns; ++c)
            cell(c, TableStyle, cells.at(c).constData(), size_t(cells.at(c).size()));
        m_buffer += "</row>";
        return flushIfFull();
    }

    bool finish()
    {
        if (!endSheet())
            return false;
        std::string types =
            "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
            "Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default "
            "Extension=\"xml\" ContentType=\"application/xml\"/><Override PartName=\"/docProps/app.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/><Override "
            "PartName=\"/docProps/core.xml\" "
            "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/><Override "
            "PartName=\"/xl/styles.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/><Override "
            "PartName=\"/xl/theme/theme1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
            "<Override PartName=\"/xl/workbook.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
        std::string rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        std::string sheets, names, titles, printTitles;
        for (int s = 1; s <= m_sheets; ++s) {
            const std::string n = std::to_string(s);
            const std::string name = "Sheet" + n;
            types += "<Override PartName=\"/" + sheetPath(s).toStdString() +
                     "\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
            rels += "<Relationship Id=\"rId" + n +
                    "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
                    "Target=\"worksheets/sheet" + n + ".xml\"/>";
            sheets += "<sheet name=\"" + name + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
            names += "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"" + std::to_string(s - 1) + "\">" +
                     name + "!$1:$2</definedName>";
            titles += "<vt:lpstr>" + name + "</vt:lpstr>";
            printTitles += "<vt:lpstr>" + name + "!Print_Titles</vt:lpstr>";
        }
        types += "</Types>";
        const std::string theme = std::to_string(m_sheets + 1), styles = std::to_string(m_sheets + 2);
        rels += "<Relationship Id=\"rId" + theme +
                "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/theme\" "
                "Target=\"theme/theme1.xml\"/><Relationship Id=\"rId" + styles +
                "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
                "Target=\"styles.xml\"/></Relationships>";
        const std::string workbook =
            "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
            "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><fileVersion "
            "appName=\"xl\" lastEdited=\"4\" lowestEdited=\"4\" rupBuild=\"4505\"/><workbookPr "
            "defaultThemeVersion=\"124226\"/><bookViews><workbookView xWindow=\"240\" yWindow=\"15\" "
            "windowWidth=\"16095\" windowHeight=\"9660\"/></bookViews><sheets>" +
            sheets + "</sheets><definedNames>" + names +
            "</definedNames><calcPr calcId=\"124519\" fullCalcOnLoad=\"1\"/></workbook>";
        const std::string now =
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'hh:mm:ss'Z'")).toStdString();
        const std::string core =
            "<cp:coreProperties "
            "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
            "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><dc:creator></dc:creator><cp:lastModifiedBy>"
            "</cp:lastModifiedBy><dcterms:created xsi:type=\"dcterms:W3CDTF\">" + now +
            "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + now +
            "</dcterms:modified></cp:coreProperties>";
        const std::string count = std::to_string(m_sheets);
        const std::string app =
            "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
            "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\"><Application>"
            "Microsoft Excel</Application><DocSecurity>0</DocSecurity><ScaleCrop>false</ScaleCrop><HeadingPairs>"
            "<vt:vector size=\"4\" baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>"
            "<vt:variant><vt:i4>" + count + "</vt:i4></vt:variant><vt:variant><vt:lpstr>Named Ranges</vt:lpstr>"
            "</vt:variant><vt:variant><vt:i4>" + count + "</vt:i4></vt:variant></vt:vector></HeadingPairs>"
            "<TitlesOfParts><vt:vector size=\"" + std::to_string(2 * m_sheets) + "\" baseType=\"lpstr\">" + titles +
            printTitles + "</vt:vector></TitlesOfParts><Company></Company><LinksUpToDate>false</LinksUpToDate>"
            "<SharedDoc>false</SharedDoc><HyperlinksChanged>false</HyperlinksChanged><AppVersion>12.0000"
            "</AppVersion></Properties>";
        auto part = [&](const char *name, const std::string &xml) {
            return m_zip.addEntry(name, QByteArray(XmlHead) + QByteArray::fromStdString(xml));
        };
        return part("[Content_Types].xml", types) && part("_rels/.rels", PackageRels) &&
               part("xl/_rels/workbook.xml.rels", rels) && part("xl/workbook.xml", workbook) &&
               m_zip.addEntry("xl/theme/theme1.xml", QByteArray(WorkbookTheme)) && part("xl/styles.xml", Styles) &&
               part("docProps/core.xml", core) && part("docProps/app.xml", app) && m_zip.finish();
    }

    /// Why the workbook could not be written, once a call failed.
    QString error() const { return m_tooLong ? QStringLiteral("a text is longer than the 32767 characters a cell holds")
                                             : m_zip.errorString(); }

private:
    static constexpr size_t FlushAt = 256 * 1024;

    static QByteArray sheetPath(int sheet)
    {
        return "xl/worksheets/sheet" + QByteArray::number(sheet) + ".xml";
    }

    // The start of a worksheet up to its dimension, which names its last
    // row; spaces after it keep the length the most rows would give.
    std::string sheetHead(int lastRow) const
    {
        return XmlHead + std::string(SheetOpen) + m_lastColumn + std::to_string(lastRow) + "\"/>";
    }

    bool endSheet()
    {
        m_buffer += "</sheetData>";
        if (m_columns > 1)
            m_buffer += "<mergeCells count=\"1\"><mergeCell ref=\"A1:" + m_lastColumn + "1\"/></mergeCells>";
        m_buffer += SheetClose;
        if (!flush())
            return false;
        std::string head = sheetHead(m_row);
        head.resize(sheetHead(WorksheetRowLimit).size(), ' ');
        return m_zip.endEntry(QByteArray::fromStdString(head));
    }

    void beginRow(const char *attributes)
    {
        ++m_row;
        const auto r = std::to_chars(m_rowText, m_rowText + sizeof m_rowText, m_row);
        m_rowLength = size_t(r.ptr - m_rowText);
        m_buffer += RowOpen;
        m_buffer.append(m_rowText, m_rowLength);
        m_buffer += attributes;
    }

    // A cell of the current row: blank (styled) for an empty text, else the
    // text inline, escaped, its outer blanks marked as kept.
    void cell(int column, Style style, const char *text, size_t size)
    {
        if (const void *nul = std::memchr(text, 0, size)) // a C string's end
            size = size_t(static_cast<const char *>(nul) - text);
        if (size > size_t(CellTextLimit) &&
            std::count_if(text, text + size, [](char c) { return (c & 0xC0) != 0x80; }) > CellTextLimit)
            m_tooLong = true;
        m_buffer += m_cellOpen[size_t(column)];
        m_buffer.append(m_rowText, m_rowLength);
        static const char *const styleText[] = {"", "\" s=\"1\"", "\" s=\"2\"", "\" s=\"3\""};
        m_buffer += styleText[style];
        if (size == 0) {
            m_buffer += "/>";
            return;
        }
        m_buffer += isBlank(text[0]) || isBlank(text[size - 1]) ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                                                 : " t=\"inlineStr\"><is><t>";
        size_t from = 0;
        for (size_t i = 0; i < size; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (!SpecialBytes[c])
                continue;
            m_buffer.append(text + from, i - from);
            from = i + 1;
            if (c == '&')
                m_buffer += "&amp;";
            else if (c == '<')
                m_buffer += "&lt;";
            else if (c == '>')
                m_buffer += "&gt;";
            else {
                char code[8];
                std::snprintf(code, sizeof code, "_x%04X_", unsigned(c));
                m_buffer += code;
            }
        }
        m_buffer.append(text + from, size - from);
        m_buffer += "</t></is></c>";
    }

    bool flush()
    {
        const bool written = m_zip.write(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return written && !m_tooLong;
    }

    bool flushIfFull() { return m_tooLong ? false : m_buffer.size() < FlushAt || flush(); }

    ZipWriter m_zip;
    QByteArray m_title;
    QVector<QByteArray> m_headers;
    int m_columns;
    std::vector<std::string> m_cellOpen; // "<c r=\"B" of each column
    std::string m_cols;                   // the <col> elements
    std::string m_lastColumn;
    std::string m_buffer;
    int m_sheets = 0;
    int m_row = 0; // the current worksheet's last row
    char m_rowText[12] = {};
    size_t m_rowLength = 0;
    bool m_tooLong = false;
};

} // namespace

QString printWorkingFile()
{
    return printWorkingFile(QCoreApplication::applicationDirPath());
}

QString printWorkingFile(const QString &programDir)
{
    // An installed program's folder (/usr/bin, Program Files) is no place for
    // a user's file, even where it may write there: as root it would stay
    // behind after the package is gone.
    if (runsInPlace(programDir) && QFileInfo(programDir).isWritable())
        return programDir + QStringLiteral("/111.xlsx");
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    return dir + QStringLiteral("/111.xlsx");
}

bool runsInPlace(const QString &programDir)
{
    const QDir dir(programDir);
    return dir.exists(QStringLiteral("portable.txt")) || dir.exists(QStringLiteral("CMakeCache.txt")) ||
           dir.exists(QStringLiteral("../CMakeCache.txt"));
}

QString workbookFileName(const QString &chosen)
{
    return exportFileName(chosen, QStringLiteral("xlsx"));
}

int workbookColumnWidth(int pixels)
{
    return pixels / 6;
}

bool writeTableWorkbook(const QAbstractItemModel &model, const QString &title,
                        const QVector<int> &columnWidths, const QString &path,
                        QString *error, int sheetRowLimit)
{
    const int columns = std::max(1, model.columnCount());
    const int rows = model.rowCount();
    // Title and header take two rows of every worksheet.
    const int rowsPerSheet = std::max(1, std::min(sheetRowLimit, WorksheetRowLimit) - 2);

    // The workbook is written beside an existing file and replaces it only
    // when complete; a device (/dev/full) is written in place.
    const QFileInfo info(path);
    const bool inPlace = info.exists() && !info.isFile();
    QString target = path;
    if (!inPlace) {
        QTemporaryFile beside(path + QStringLiteral(".XXXXXX"));
        beside.setAutoRemove(false);
        if (!beside.open()) {
            if (error)
                *error = beside.errorString();
            return false;
        }
        target = beside.fileName();
    }

    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        if (!inPlace)
            QFile::remove(target);
        return false;
    };

    QFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());

    QVector<QByteArray> headers;
    for (int c = 0; c < columns; ++c)
        headers.append(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toUtf8());
    WorkbookStream book(&file, title.toUtf8(), headers, columnWidths);

    bool stopped = false;
    int onSheet = 0; // table rows on the current worksheet
    // Row `r` of the table, its cells' UTF-8 texts in `cells`.
    QVector<QByteArray> cells(columns);
    auto putRow = [&](int r) {
        if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
            stopped = true;
            return false;
        }
        if (onSheet == rowsPerSheet) {
            if (!book.newSheet())
                return false;
            onSheet = 0;
        }
        ++onSheet;
        return book.row(cells);
    };

    bool written = book.newSheet();
    const auto *history = qobject_cast<const HistoryTableModel *>(&model);
    if (written && history && history->canStream()) {
        // The rows as the server streams them, each cell made from the
        // row's bytes: the texts the model gives.
        using F = RangeQueries::RowBatch;
        const bool withSource = columns > HistoryTableModel::ColumnCount;
        StoredTimeTexts times;
        written = history->streamRows([&](const F &batch, qint64 first) {
            for (size_t k = 0; k < batch.rows.size(); ++k) {
                const F::Row &row = batch.rows[k];
                for (QByteArray &cell : cells)
                    cell.clear();
                times.appendTable(RangeQueries::msOfUs(row.timeUs), &cells[0]);
                appendText(batch.field(row, F::Value), &cells[1]);
                appendText(batch.field(row, F::Unit), &cells[2]);
                appendText(batch.field(row, F::Function), &cells[3]);
                if (withSource)
                    appendText(batch.field(row, F::Source), &cells[4]);
                if (!putRow(int(first + qint64(k))))
                    return false;
            }
            return true;
        });
        // A read that ended without a fault of ours was stopped or failed
        // on the server's side.
        if (!written && book.error().isEmpty() && !stopped)
            stopped = true;
    } else if (written) {
        for (int r = 0; r < rows && written; ++r) {
            for (int c = 0; c < columns; ++c)
                cells[c] = model.data(model.index(r, c), Qt::DisplayRole).toString().toUtf8();
            written = putRow(r);
        }
    }
    if (written && !stopped)
        written = book.finish() && file.flush();
    file.close();
    if (stopped)
        return fail(QCoreApplication::translate("TableExport", "已取消"));
    if (!written || file.error() != QFileDevice::NoError)
        return fail(book.error().isEmpty() ? file.errorString() : book.error());
    if (!inPlace) {
        // The file beside was made private; the workbook gets the old file's
        // permissions, or those of a new file.
        QFile::setPermissions(target, info.exists() ? info.permissions()
                                                    : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                                          | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        if (std::rename(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) != 0)
            return fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    return true;
}
