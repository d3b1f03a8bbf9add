// The German help page on job rows, modes, path tags and the command line.
#include "app/gui/help_page.h"

namespace {

constexpr char kHelpHtml[] = R"html(<!DOCTYPE html>
<html lang="de"><head><meta charset="utf-8"><title>Kopiwart – Syntax</title></head>
<body>
<h1>Kopiwart – Syntax der Aufträge</h1>

<p>Kopiwart arbeitet eine Liste von Aufträgen ab. Jede Zeile der Liste ist ein Auftrag: sie nennt
eine Quelle, ein Ziel, Filter, einen Modus und Zusatzeinstellungen. <b>Kopiwart ausführen</b> (F5)
führt alle Zeilen nacheinander aus; eine Zeile, die scheitert, hält die übrigen nicht auf.</p>

<h2>Die Spalten einer Zeile</h2>
<table border="1" cellpadding="3" cellspacing="0">
<tr><th>Spalte</th><th>Kennung in der Datei</th><th>Inhalt</th></tr>
<tr><td>Quelle</td><td>Q</td><td>Ordner, Datei, Muster (<code>*.txt</code>), URL oder
Registry-Schlüssel, aus dem gelesen wird.</td></tr>
<tr><td>Ziel</td><td>Z</td><td>Ordner, Datei oder Archiv, in das geschrieben wird; darf Pfad-Tags
enthalten (siehe unten).</td></tr>
<tr><td>Plus Filter</td><td>P</td><td>Namensmuster der Dateien, die bearbeitet werden, durch
<code>;</code> getrennt, z.&nbsp;B. <code>*.cpp;*.h</code>. Leer heißt: alle Dateien.</td></tr>
<tr><td>Minus Filter</td><td>M</td><td>Namensmuster der Dateien, die übergangen werden, durch
<code>;</code> getrennt, z.&nbsp;B. <code>*.o;*.tmp</code>.</td></tr>
<tr><td>Unter</td><td>/UNTER</td><td><code>Ja</code>: Unterordner werden mit bearbeitet;
<code>Nein</code>: nur der Ordner selbst. Jeder andere Text zählt als <code>Ja</code>.</td></tr>
<tr><td>Modus</td><td>Schalter</td><td>Was mit den Dateien geschieht, einer der siebzehn Modi.
Ein unbekannter Name wird wie <code>Copy</code> ausgeführt.</td></tr>
<tr><td>Zusatz</td><td>X</td><td>Zusatzeinstellungen, siehe unten.</td></tr>
</table>

<p>Quelle und Ziel sind höchstens 1283 Zeichen lang; eine Zeile mit einer längeren Quelle oder
einem längeren Ziel wird nicht ausgeführt (sie bleibt aber in der Datei, wie sie ist).</p>

<p>In Quelle, Ziel und den beiden Filtern werden Variablen der Form <code>$(NAME)</code>
ersetzt. <code>$(KPW_PATH)</code> ist der Ordner der geöffneten Kopiwart-Datei,
<code>$(KPW_FILE)</code> die Datei selbst; so lassen sich Pfade neben der Datei angeben.
Pfade werden mit <code>/</code> geschrieben; in Zellen gilt auch <code>\</code> als Trenner.</p>

<h3>Die Zusatz-Spalte</h3>
<p>Sie beginnt mit drei Teilen, die alle Modi kennen, immer in dieser Reihenfolge:</p>
<ol>
<li><code>*[Rechner]</code> – die Zeile gilt nur auf dem Rechner mit diesem Namen
(Groß- und Kleinschreibung egal).</li>
<li><code>*</code> allein oder vor <code>;</code> – die Zeile läuft nur, wenn das Ziel schon
existiert.</li>
<li>durch <code>;</code> getrennte Ordner unterhalb der Quelle, die ausgelassen werden; sie dürfen
<code>*</code> und <code>?</code> enthalten.</li>
</ol>
<p>Beispiel: <code>*[buero-pc];*;build;.git</code>. Was danach folgt, hängt vom Modus ab; die
Spezialeinstellungen im Kontextmenü der Liste schreiben es.</p>

<h2>Die siebzehn Modi</h2>
<table border="1" cellpadding="3" cellspacing="0">
<tr><th>Modus</th><th>Schalter</th><th>Wirkung</th></tr>
<tr><td>Copy</td><td>(keiner)</td><td>Kopiert die Dateien der Quelle in den Zielordner.</td></tr>
<tr><td>Copy Del</td><td>/COPY_DEL</td><td>Wie Copy; danach werden Dateien im Ziel gelöscht,
die es in der Quelle nicht mehr gibt (Spiegel).</td></tr>
<tr><td>Copy File</td><td>/COPY_FILE</td><td>Kopiert eine einzelne Datei; das Ziel ist der
Name der neuen Datei.</td></tr>
<tr><td>Zip</td><td>/ZIP</td><td>Packt die Dateien der Quelle in ein Zip-Archiv; ist die Quelle
ein Archiv, wird es in den Zielordner entpackt.</td></tr>
<tr><td>Zip Add</td><td>/ZIP_ADD</td><td>Fügt die Dateien einem bestehenden Zip-Archiv hinzu.</td></tr>
<tr><td>Reg</td><td>/REG</td><td>Speichert einen Registry-Schlüssel als .reg-Datei oder liest
eine .reg-Datei ein; jede andere Quelle wird wie mit Copy kopiert.</td></tr>
<tr><td>Reg Add</td><td>/REG_ADD</td><td>Wie Reg, hängt aber an die .reg-Datei an.</td></tr>
<tr><td>Move</td><td>/MOVE</td><td>Verschiebt eine Datei ins Ziel.</td></tr>
<tr><td>Del</td><td>/DEL</td><td>Löscht die Dateien, die die Filter auswählen, und die Ordner,
die dadurch leer werden. Das Ziel wird nicht benutzt, muss aber angegeben sein: eine Zeile ohne
Ziel wird nicht ausgeführt.</td></tr>
<tr><td>Ftp</td><td>/FTP</td><td>Kopiert zwischen einem lokalen Ordner und einem entfernten
(<code>ftp://</code>, <code>sftp://</code>, <code>smb://</code>, <code>file://</code> …), in
der Richtung, die Quelle und Ziel ergeben, oder von Server zu Server.</td></tr>
<tr><td>Ftp Del</td><td>/FTP_DEL</td><td>Wie Ftp; zusätzlich werden Zieldateien gelöscht, die
die Quelle nicht mehr hat.</td></tr>
<tr><td>Synch</td><td>/SYNCH</td><td>Gleicht in beide Richtungen ab: jede Seite erhält die
Dateien, die ihr fehlen, und die neuere Fassung gemeinsamer Dateien. Es wird nie gelöscht.</td></tr>
<tr><td>Puffer</td><td>/BUFFER</td><td>Trägt Dateien über einen Pufferordner (Liste
<code>.ssy</code>) von einem Quellrechner zu einem oder mehreren Zielrechnern.</td></tr>
<tr><td>Update</td><td>/UPDATE</td><td>Erneuert nur Dateien, die es im Ziel schon gibt.</td></tr>
<tr><td>Version</td><td>/VERSION</td><td>Schreibt eine Versionsnummer (aus einem Programm, aus
einer Textdatei oder das Datum) zwischen zwei Marken in eine Textdatei.</td></tr>
<tr><td>Shrink</td><td>/SHRINK</td><td>Hält eine Reihe datierter oder nummerierter Kopien und
dünnt sie mit dem Alter aus: viele neue, wenige alte.</td></tr>
<tr><td>Kopiwart</td><td>/KOPIWART</td><td>Spiegelt einen Ordnerbaum ins Ziel und behält von
jeder geänderten Datei ältere Fassungen (<code>.bak</code> und ein Zeichen); Dateien, deren
Quelle verschwunden ist, werden nach einigen Tagen gelöscht.</td></tr>
</table>

<h2>Pfad-Tags</h2>
<p>Ein Tag steht zwischen zwei <code>#</code> im Pfad und wird vor dem Lauf der Zeile ersetzt.
Folgt auf das Tag kein <code>.</code>, <code>_</code>, <code>0</code> oder Leerzeichen, wird ein
Leerzeichen eingefügt.</p>
<table border="1" cellpadding="3" cellspacing="0">
<tr><th>Tag</th><th>Ersetzt durch</th></tr>
<tr><td><code>#D#</code></td><td>das heutige Datum, z.&nbsp;B. <code>2026-03-14</code></td></tr>
<tr><td><code>#d#</code></td><td>das Datum mit Wochentag, z.&nbsp;B.
<code>2026-03-15 (So)</code></td></tr>
<tr><td><code>#@#</code>, <code>#@0#</code> … <code>#@9#</code></td><td>die Versionsnummer der
Quelldatei (Programmdatei); die Ziffer wählt die Form, z.&nbsp;B. <code>#@2#</code> gibt
<code>1.2</code>, <code>#@4#</code> gibt <code>1.2.0.0</code></td></tr>
<tr><td><code>#@"Muster" "Muster" "Muster"#</code></td><td>eine Versionsangabe aus einer
Textdatei: die erste Zeile, auf die die drei Muster passen; ersetzt wird durch den Text des
zweiten Musters</td></tr>
<tr><td><code>#1#</code> … <code>#5#</code></td><td>eine Generationsnummer mit 1 bis 5 Stellen:
vor dem Lauf rücken vorhandene Kopien um eins auf (<code>00</code> wird <code>01</code> …), und die
Zeile schreibt die Generation <code>0</code>. Sind alle Nummern belegt, scheitert die Zeile.</td></tr>
</table>
<p>Beispiel: Ziel <code>/srv/sicherung/projekt #D#.zip</code> im Modus Zip legt jeden Tag ein
neues Archiv an; Ziel <code>/srv/sicherung/stand#2#</code> hält die Stände
<code>stand00</code> bis <code>stand99</code>.</p>

<h2>Die Kopiwart-Datei (.kpw)</h2>
<p>Eine Textdatei. Jede Zeile der Liste beginnt mit <code>[EINTRAG]</code>; es folgen, jeweils mit
Tabulator eingerückt, die nicht leeren Spalten als Kennbuchstabe und Doppelpunkt, <code>/UNTER</code>
für Unterordner und der Schalter des Modus. Am Ende stehen der Zeitplan und der letzte Lauf:</p>
<pre>[EINTRAG]
	Q:/home/anna/projekt
	Z:/media/sicherung/projekt
	M:*.o;*.tmp
	/UNTER
	/COPY_DEL
[EINTRAG]
	Q:/home/anna/projekt
	Z:/media/sicherung/projekt #D#.zip
	/UNTER
	/ZIP
/ZEITPLAN=0x8001,7
/LETZTE=0x65F2A1C0</pre>
<p><code>/ZEITPLAN=</code> nennt die Zeitplan-Einstellungen (Einheit Tage, Wochen oder Monate,
dazu „Nur neuere Dateien kopieren“ u.&nbsp;a.) und die Zahl der Einheiten, <code>/LETZTE=</code>
die Zeit des letzten Laufs. Zeilen, die Kopiwart nicht kennt, werden übergangen; eine Zeile ohne
Quelle oder ohne Ziel (außer bei Reg und Del) wird nicht übernommen. Ohne Ziel ausgeführt wird nur
eine Zeile, die mit Reg oder Reg Add eine .reg-Datei einliest; jede andere Zeile ohne Ziel, auch
eine Del-Zeile, wird mit einer Meldung übergangen.</p>

<h2>Aufruf von der Kommandozeile</h2>
<pre>kopiwart [Datei.kpw] [-S] [-A] [-N]</pre>
<p>Ein Schalter beginnt mit <code>-</code> oder <code>/</code>; nur sein erster Buchstabe zählt,
groß oder klein.</p>
<table border="1" cellpadding="3" cellspacing="0">
<tr><td><code>-S</code></td><td>Die Liste der Datei gleich beim Start ausführen und das Programm
danach beenden. Ohne <code>-A</code> gilt der Zeitplan: die Liste läuft nur, wenn ihre Zeit
gekommen ist.</td></tr>
<tr><td><code>-A</code></td><td>Immer ausführen, egal welcher Zeitplan eingestellt ist.</td></tr>
<tr><td><code>-N</code></td><td>Kein Fenster anzeigen. Mit <code>-S</code> läuft die Liste
ohne Fortschrittsfenster, ohne Fragen und ohne Schlussmeldung; ohne <code>-S</code> startet das
Fenster minimiert.</td></tr>
</table>
<p><code>-S</code> und <code>-A</code> wirken nur zusammen mit einer Datei. Für einen Lauf ohne
Aufsicht, etwa aus cron: <code>kopiwart /home/anna/sicherung.kpw -S -A -N</code>.</p>
</body></html>
)html";

}  // namespace

const char* FindHelpPage(std::string_view name) {
  if (!name.empty() && name.front() == '*') name.remove_prefix(1);
  return name == "Help.html" ? kHelpHtml : nullptr;
}
