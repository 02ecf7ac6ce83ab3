// SPDX-License-Identifier: MIT
// The C# binding against the built library: the shared calls table (the
// same bytes as the C calls), errors and status against the virtual
// printer, two printers from two threads, disposal and use after close, a
// handler that throws, and the declarations against the library's exports.
// Prints "N passed, N failed".
// Usage: mono QuillbarTests.exe CALLS_JSON PREVIEW_TOOL EXPORTS_FILE
using System;
using System.Collections;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Web.Script.Serialization;
using Quillbar;

static class Tests
{
    static int passed, failed;
    static string scratch;

    static void Check(bool ok, string what)
    {
        if (ok)
        {
            ++passed;
        }
        else
        {
            ++failed;
            Console.WriteLine("FAILED: " + what);
        }
    }

    static string NewFile(string name)
    {
        string path = Path.Combine(scratch, name);
        File.WriteAllBytes(path, new byte[0]);
        return path;
    }

    static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

    // Every row of the table the C API is checked against, through the same-named method.
    static void CallsTable(string file)
    {
        var table = (Dictionary<string, object>)new JavaScriptSerializer().DeserializeObject(File.ReadAllText(file));
        int row = 0;
        foreach (Dictionary<string, object> call in (object[])table["calls"])
        {
            string what = "row " + row++ + ": " + call["call"];
            string path = NewFile("row.epl");
            MethodInfo method = typeof(Printer).GetMethod((string)call["call"]);
            if (method == null)
            {
                Check(false, what + ": no method");
                continue;
            }
            var args = ((object[])call["args"]).ToArray();
            int code = 0;
            using (var p = new Printer(path, 0))
            {
                try
                {
                    method.Invoke(p, args);
                }
                catch (TargetInvocationException e) when (e.InnerException is QuillbarException q)
                {
                    code = q.Code;
                }
            }
            byte[] sent = File.ReadAllBytes(path);
            if (call.ContainsKey("error"))
            {
                Check(code == (int)call["error"] && sent.Length == 0, what + ": failed with " + code);
            }
            else if (call.ContainsKey("bytes_prefix"))
            {
                string prefix = (string)call["bytes_prefix"];
                Check(code == 0 && Latin1.GetString(sent).StartsWith(prefix) && sent.Length == (int)call["bytes_length"],
                      what + ": sent " + sent.Length + " bytes");
            }
            else
            {
                byte[] expected = Latin1.GetBytes((string)call["bytes"]);
                Check(code == 0 && sent.SequenceEqual(expected), what + ": sent '" + Latin1.GetString(sent) + "'");
            }
        }
        Check(row > 20, "the table has its rows");
    }

    // The handler's text and the reasons with a non-ASCII path, as C, Python and Node.js read them.
    static void MessagesTable(string file)
    {
        var table = (Dictionary<string, object>)new JavaScriptSerializer().DeserializeObject(File.ReadAllText(file));
        int row = 0;
        foreach (Dictionary<string, object> message in (object[])table["messages"])
        {
            string what = "message row " + row;
            string folder = Path.Combine(scratch, "messages" + row++);
            string picture = Path.Combine(folder, (string)message["picture"]);
            Directory.CreateDirectory(Path.GetDirectoryName(picture));
            if (message.ContainsKey("content")) File.WriteAllBytes(picture, Latin1.GetBytes((string)message["content"]));
            var shown = new List<string>();
            string reason = null;
            string output = Path.Combine(folder, "out.epl");
            File.WriteAllBytes(output, new byte[0]);
            using (var p = new Printer(output, 0))
            {
                p.SetMessageHandler(shown.Add);
                try
                {
                    p.DownPicture(picture, (string)message["name"]);
                }
                catch (QuillbarException e)
                {
                    reason = e.Message;
                }
            }
            var expected = ((object[])message["shown"]).Select(t => ((string)t).Replace("{picture}", picture)).ToList();
            Check(shown.SequenceEqual(expected), what + ": shown '" + string.Join("', '", shown) + "'");
            if (message.ContainsKey("reason_has"))
                Check(reason != null && reason.Contains(((string)message["reason_has"]).Replace("{picture}", picture)),
                      what + ": reason '" + reason + "'");
            else
                Check(reason == null, what + ": failed with '" + reason + "'");
        }
        Check(row >= 2, "the table has its message rows");
    }

    // The P/Invoke declarations are every export the library has, by the names it exports.
    static void Declarations(string exportsFile)
    {
        var exported = new HashSet<string>(File.ReadAllLines(exportsFile).Where(l => l.StartsWith("QB_")));
        var declared = new HashSet<string>(typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
            .Select(m => m.GetCustomAttribute<DllImportAttribute>())
            .Where(a => a != null)
            .Select(a => a.EntryPoint));
        Check(exported.Count > 50 && exported.SetEquals(declared),
              "declarations against the exports: missing " + string.Join(" ", exported.Except(declared)) + "; extra " +
                  string.Join(" ", declared.Except(exported)));
        Check(Library.Version.Length > 0 && Library.Version.Split('.').Length == 3, "the library's version");
    }

    static void Errors()
    {
        try
        {
            new Printer(Path.Combine(scratch, "missing", "port"), 9600);
            Check(false, "an open that cannot succeed");
        }
        catch (QuillbarException e)
        {
            Check(e.Code == 2001 && e.Message.Contains("missing"), "the open's reason: " + e.Message);
        }
        using (var p = new Printer(NewFile("errors.epl"), 0))
        {
            try
            {
                p.SetDarkness(42);
                Check(false, "darkness 42");
            }
            catch (QuillbarException e)
            {
                Check(e.Code == 1001 && e.Message.StartsWith("darkness 42 is outside 0..15"), "darkness 42: " + e.Message);
            }
            foreach (var bad in new Action[] { () => p.PrintCharacter(1, 1, 0, 1, 1, 1, 0, "A\0B"),
                                               () => p.PrintCharacter(1, 1, 0, 1, 1, 1, 0, "10\u20ac"),
                                               () => p.PrintChineseStr(1, 1, 0, 0, 1, 0, "\U0001F600"),
                                               () => p.SendCommand(null) })
            {
                try
                {
                    bad();
                    Check(false, "text that cannot be sent");
                }
                catch (QuillbarException e)
                {
                    Check(e.Code == 1001, "text refused: " + e.Message);
                }
            }
            // Chinese text goes as GBK, other text in the printer's code page.
            p.TextEncoding = Encoding.GetEncoding(1252);
            p.PrintCharacter(1, 1, 0, 1, 1, 1, 0, "10\u20ac");
        }
        Check(File.ReadAllBytes(Path.Combine(scratch, "errors.epl")).Reverse().Skip(2).Take(1).Single() == 0x80,
              "the euro sign in Windows-1252");
    }

    static void Disposal()
    {
        string path = NewFile("dispose.epl");
        var p = new Printer(path, 0);
        p.Dispose();
        p.Dispose();  // once is enough; twice does nothing
        Check(p.IsClosed, "disposed is closed");
        Check(p.Notice == "", "a file took every byte: nothing to say");
        try
        {
            p.Print(1);
            Check(false, "a call after close");
        }
        catch (QuillbarException e)
        {
            Check(e.Code == 1001, "a call after close: " + e.Message);
        }
        // Let go without closing: the finalizer closes it, and the file (taken for exclusive
        // use while open) can be opened again.
        string held = NewFile("held.epl");
        Func<WeakReference> open = () => new WeakReference(new Printer(held, 0));
        WeakReference gone = open();
        for (int i = 0; i < 10 && gone.IsAlive; ++i)
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
        GC.Collect();
        GC.WaitForPendingFinalizers();
        try
        {
            new Printer(held, 0).Close();
            Check(true, "");
        }
        catch (QuillbarException e)
        {
            Check(false, "a printer let go is closed by its finalizer: " + e.Message);
        }
    }

    static void Threads()
    {
        string a = NewFile("a.epl"), b = NewFile("b.epl");
        using (Printer pa = new Printer(a, 0), pb = new Printer(b, 0))
        {
            var threads = new[] { pa, pb }.Select((p, k) => new Thread(() =>
            {
                for (int i = 0; i < 200; ++i) p.SendCommand(k == 0 ? "FOR_A" : "FOR_B");
            })).ToArray();
            foreach (var t in threads) t.Start();
            foreach (var t in threads) t.Join();
        }
        Check(File.ReadAllText(a) == string.Concat(Enumerable.Repeat("FOR_A\n", 200)) &&
                  File.ReadAllText(b) == string.Concat(Enumerable.Repeat("FOR_B\n", 200)),
              "two printers from two threads keep their own bytes");
    }

    static void Handlers()
    {
        string picture = Path.Combine(scratch, "logo.pcx");
        File.WriteAllBytes(picture, Encoding.ASCII.GetBytes("PCX"));
        using (var p = new Printer(NewFile("handler.epl"), 0))
        {
            var seen = new List<string>();
            p.SetMessageHandler(seen.Add);
            p.DownPicture(picture, "LOGO");
            Check(seen.Count == 5 && seen[0] == picture && seen[1] == "filelengh:0--3", "the stages: " + string.Join("|", seen));
            p.SetMessageHandler(text => throw new InvalidOperationException("the dialog failed"));
            try
            {
                p.DownPicture(picture, "LOGO");
                Check(false, "a handler that throws");
            }
            catch (QuillbarException e)
            {
                Check(e.InnerException is InvalidOperationException, "a handler's exception reaches the caller: " + e.Message);
            }
            p.SetMessageHandler(null);
            p.DownPicture(picture, "LOGO");  // the printer works on
            try
            {
                p.DownPicture(Path.Combine(scratch, "missing.pcx"), "LOGO");
                Check(false, "a missing picture");
            }
            catch (QuillbarException e)
            {
                Check(e.Code == 0 && e.Message.StartsWith("cannot read the picture"), "the library's reason: " + e.Message);
            }
        }
    }

    // The virtual printer as a network printer with a fault: the status names it, and the
    // label prints once the fault clears.
    static void Status(string preview)
    {
        var start = new ProcessStartInfo(preview, "--listen 127.0.0.1:0 --max-labels 0 --fault paper-out")
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
        };
        using (var tool = Process.Start(start))
        {
            string first = tool.StandardOutput.ReadLine() ?? "";
            string address = first.StartsWith("listening: ") ? first.Substring(11) : "";
            try
            {
                using (var p = new Printer("tcp://" + address, 0))
                {
                    p.SetClear();
                    p.PrintLine(1, 1, 10, 10);
                    p.Print(1);
                    Check(p.Status(3000) == Quillbar.Status.PaperOut, "the fault is reported");
                    Check(new Printer(NewFile("file.epl"), 0).Status(5000) == Quillbar.Status.Unknown, "a file has no answer");
                }
            }
            finally
            {
                tool.Kill();
                tool.WaitForExit();
            }
        }
    }

    static int Main(string[] args)
    {
        scratch = Path.Combine(Path.GetTempPath(), "quillbar-dotnet-" + Process.GetCurrentProcess().Id);
        Directory.CreateDirectory(scratch);
        try
        {
            CallsTable(args[0]);
            MessagesTable(args[0]);
            Declarations(args[2]);
            Errors();
            Disposal();
            Threads();
            Handlers();
            Status(args[1]);
        }
        catch (Exception e)
        {
            Check(false, "unexpected: " + e);
        }
        finally
        {
            Directory.Delete(scratch, true);
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
