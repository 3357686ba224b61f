#include "server/spreadsheet.h"

#include <QRegularExpression>
#include <QXmlStreamWriter>

namespace {

const QString SS_NAMESPACE = QStringLiteral("urn:schemas-microsoft-com:office:spreadsheet");
const int MAX_SHEET_NAME = 31;

void writeRow(QXmlStreamWriter &writer, const QStringList &cells)
{
    writer.writeStartElement(QStringLiteral("Row"));
    for (const QString &cell : cells) {
        writer.writeStartElement(QStringLiteral("Cell"));
        writer.writeStartElement(QStringLiteral("Data"));
        writer.writeAttribute(QStringLiteral("ss:Type"), QStringLiteral("String"));
        writer.writeCharacters(cell);
        writer.writeEndElement();
        writer.writeEndElement();
    }
    writer.writeEndElement();
}

// Sheet names are at most 31 characters, without []:*?/\ and not empty.
QString sheetName(const QString &no)
{
    QString name = no;
    name.replace(QRegularExpression(QStringLiteral("[\\[\\]:*?/\\\\]")), QStringLiteral("_"));
    name.truncate(MAX_SHEET_NAME);
    return name.isEmpty() ? QStringLiteral("Sheet1") : name;
}

} // namespace

QByteArray numberSpreadsheet(const DownloadNumber &number)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeProcessingInstruction(QStringLiteral("mso-application"), QStringLiteral("progid=\"Excel.Sheet\""));
    // Elements in the default namespace, attributes with the ss prefix, the
    // way Excel itself writes the format.
    writer.writeStartElement(QStringLiteral("Workbook"));
    writer.writeAttribute(QStringLiteral("xmlns"), SS_NAMESPACE);
    writer.writeAttribute(QStringLiteral("xmlns:ss"), SS_NAMESPACE);
    writer.writeStartElement(QStringLiteral("Worksheet"));
    writer.writeAttribute(QStringLiteral("ss:Name"), sheetName(number.no));
    writer.writeStartElement(QStringLiteral("Table"));
    writeRow(writer, {QStringLiteral("序号"), QStringLiteral("分类"), QStringLiteral("菜名"), QStringLiteral("MD5")});
    for (int i = 0; i < number.items.size(); ++i) {
        const NumberItem &item = number.items.at(i);
        writeRow(writer, {QString::number(i + 1), item.category, item.name, item.md5});
    }
    writer.writeEndElement(); // Table
    writer.writeEndElement(); // Worksheet
    writer.writeEndElement(); // Workbook
    writer.writeEndDocument();
    return xml;
}
