#pragma once

#include "server/sitestore.h"

#include <QByteArray>

// The spreadsheet of a download number as an Excel 2003 XML workbook
// (SpreadsheetML), which Excel and LibreOffice open from a .xls file: one
// sheet named after the number listing its pictures.
QByteArray numberSpreadsheet(const DownloadNumber &number);
