// Prints a workbook as JSON, every cell as a reader that formats cells by Excel's rules
// shows it (SheetJS): the tabs in order, each with its rows of cells, a numeric cell as
// {"number": its shown text}, any other as its shown text, an empty one as null.
"use strict";
const XLSX = require("xlsx");

const book = XLSX.readFile(process.argv[2], { cellNF: true });
const sheets = book.SheetNames.map((name) => {
    const sheet = book.Sheets[name];
    const rows = [];
    if (sheet["!ref"]) {
        const range = XLSX.utils.decode_range(sheet["!ref"]);
        for (let r = 0; r <= range.e.r; ++r) {
            const row = [];
            for (let c = 0; c <= range.e.c; ++c) {
                const cell = sheet[XLSX.utils.encode_cell({ r, c })];
                if (!cell)
                    row.push(null);
                else
                    row.push(cell.t === "n" ? { number: cell.w } : cell.w !== undefined ? cell.w : String(cell.v));
            }
            rows.push(row);
        }
    }
    return { name, rows };
});
process.stdout.write(JSON.stringify(sheets));
