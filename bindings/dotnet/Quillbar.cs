// SPDX-License-Identifier: MIT
// quillbar for C# and VB.NET: a printer as an IDisposable object over the
// library's handle, methods in millimetres as the C API has them, failures
// as QuillbarException. The P/Invoke declarations (Native) and the
// operations' methods are generated from the library's list of exports
// (Native.g.cs).
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Quillbar
{
    public static partial class Native
    {
        /// <summary>The library: quillbar.dll on Windows; libquillbar.so.0 elsewhere (Quillbar.dll.config
        /// maps the name for Mono; on .NET, NativeLibrary finds libquillbar.so.0 by this name's file).</summary>
        public const string Lib = "quillbar";

#if NETCOREAPP3_0_OR_GREATER
        // .NET looks for libquillbar.so (the -dev package's name); the library itself is
        // libquillbar.so.0. Set when the binding is first used (Printer and Library call it).
        static int resolverSet_;
        internal static void FindLibrary()
        {
            if (System.Threading.Interlocked.Exchange(ref resolverSet_, 1) != 0) return;
            NativeLibrary.SetDllImportResolver(typeof(Native).Assembly, (name, assembly, path) =>
                name == Lib && !OperatingSystem.IsWindows() && NativeLibrary.TryLoad("libquillbar.so.0", assembly, path, out IntPtr h)
                    ? h : IntPtr.Zero);
        }
#else
        [DllImport("libdl.so.2", EntryPoint = "dlopen")]
        static extern IntPtr dlopen(string file, int mode);
        const int RTLD_NOW_GLOBAL = 0x102;
        static int found_;

        /// <summary>Mono loads the library by its name (Quillbar.dll.config): a library loaded
        /// first is the one that name finds. So, as Python and Node do: the path in
        /// QUILLBAR_LIBRARY, else the build tree this assembly was built in
        /// (build/bindings/dotnet/ beside build/libquillbar.so.0), else the system's by name.</summary>
        internal static void FindLibrary()
        {
            if (Interlocked.Exchange(ref found_, 1) != 0) return;
            if (Environment.OSVersion.Platform != PlatformID.Unix) return;
            string dir = System.IO.Path.GetDirectoryName(typeof(Native).Assembly.Location);
            string[] candidates = {
                Environment.GetEnvironmentVariable("QUILLBAR_LIBRARY"),
                string.IsNullOrEmpty(dir) ? null : System.IO.Path.Combine(dir, "..", "..", "libquillbar.so.0"),
            };
            foreach (string path in candidates)
            {
                if (string.IsNullOrEmpty(path) || !System.IO.File.Exists(path)) continue;
                try
                {
                    if (dlopen(System.IO.Path.GetFullPath(path), RTLD_NOW_GLOBAL) != IntPtr.Zero) return;
                }
                catch (DllNotFoundException) { return; }  // no libdl: the system's by name
                catch (EntryPointNotFoundException) { return; }
            }
        }
#endif
    }

    /// <summary>What QB_SetMessageHandler takes: the stage's text (GB2312 as the library has it) and
    /// the context given.</summary>
    [UnmanagedFunctionPointer(CallingConvention.Winapi)]
    public delegate void MessageHandlerNative(IntPtr text, IntPtr context);

    /// <summary>A call the library refused or could not carry out.</summary>
    public class QuillbarException : Exception
    {
        /// <summary>The library's code: 1001 (an argument), 1002 (writing), 2001 (opening), 2002
        /// (closing); 0 for a picture that could not be stored.</summary>
        public int Code { get; }

        /// <summary>A failure with the library's code and reason (and what caused it, if anything).</summary>
        public QuillbarException(int code, string message, Exception inner = null)
            : base(message + " (" + code + ")", inner)
        {
            Code = code;
        }
    }

    /// <summary>The library's handle of one printer: closed once, by Close or by the finalizer,
    /// and never used after.</summary>
    public sealed class PrinterHandle : SafeHandle
    {
        int closed_;
        internal int CloseResult;

        /// <summary>No printer yet.</summary>
        public PrinterHandle() : base(IntPtr.Zero, true) {}
        internal PrinterHandle(IntPtr handle) : base(IntPtr.Zero, true) { SetHandle(handle); }

        /// <summary>Whether it stands for no printer.</summary>
        public override bool IsInvalid => handle == IntPtr.Zero;

        // The library never reuses a handle and refuses a closed one (1001), so closing
        // while another thread is inside a call is safe: that call's write is ended.
        /// <summary>What the close has to say although it succeeded ("" for nothing).</summary>
        internal string Notice = "";

        internal bool CloseOnce()
        {
            if (Interlocked.Exchange(ref closed_, 1) != 0) return false;
            CloseResult = Native.PrinterClose(handle);
            // The notice is the closing thread's: read here, on the same thread.
            Notice = Texts.Utf8(Native.GetLastNotice());
            return true;
        }

        /// <summary>Closes the printer, once, when nothing else has.</summary>
        protected override bool ReleaseHandle()
        {
            CloseOnce();
            return true;
        }
    }

    /// <summary>The library's version and lists.</summary>
    public static class Library
    {
        static Library() { Native.FindLibrary(); }

        /// <summary>The loaded library's version, e.g. "0.3.0".</summary>
        public static string Version => Texts.Utf8(Native.GetVersion());

        /// <summary>The printers a program can name, as routes ("printer:NAME" on Windows, "cups:NAME"
        /// elsewhere).</summary>
        public static string[] Printers()
        {
            while (true)
            {
                int size = Native.PrinterList(null, UIntPtr.Zero);
                if (size < 0) throw LastError();
                var buffer = new byte[Math.Max(size, 1)];
                if (Native.PrinterList(buffer, (UIntPtr)buffer.Length) != size) continue;  // it grew meanwhile
                return Encoding.UTF8.GetString(buffer, 0, size).Split(new[] { '\0' }, StringSplitOptions.RemoveEmptyEntries);
            }
        }

        /// <summary>The calling thread's last failure that no printer holds (an open that failed).</summary>
        internal static QuillbarException LastError() =>
            new QuillbarException(Native.GetLastErrorCode(), Texts.Utf8(Native.GetLastErrorMessage()));
    }

    /// <summary>Text as the library takes it: NUL-terminated bytes in a code page, never cut.</summary>
    internal static class Texts
    {
        internal static Encoding Strict(int codePage) =>
            Encoding.GetEncoding(codePage, EncoderFallback.ExceptionFallback, DecoderFallback.ExceptionFallback);

        internal static byte[] Bytes(string text, Encoding encoding, string what)
        {
            if (text == null) throw new QuillbarException(1001, "the " + what + " is null");
            if (text.IndexOf('\0') >= 0)
                throw new QuillbarException(1001, "the " + what + " holds a NUL character, which would end it there");
            byte[] encoded;
            try
            {
                encoded = encoding.GetBytes(text);
            }
            catch (EncoderFallbackException e)
            {
                throw new QuillbarException(1001, "the " + what + " holds characters " + encoding.WebName + " cannot write: " +
                                                      e.Message);
            }
            var bytes = new byte[encoded.Length + 1];
            Array.Copy(encoded, bytes, encoded.Length);
            return bytes;
        }

        internal static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }

    /// <summary>One printer on a route: a device path ("/dev/ttyUSB0", "COM3"), a file that captures
    /// the stream, "tcp://HOST:PORT", "cups:QUEUE", "ipp://HOST/RESOURCE", or an installed printer
    /// "printer:NAME". It opens when made and closes with Close or Dispose (a using block); a
    /// printer let go unclosed is closed by its finalizer. Any thread may use it.</summary>
    public sealed partial class Printer : IDisposable
    {
        static Printer() { Native.FindLibrary(); }
        static readonly Encoding Gb = Texts.Strict(936);  // GB2312/GBK: Chinese text
        readonly PrinterHandle handle_;
#pragma warning disable 414  // never read: it keeps the delegate alive while the library may call it
        MessageHandlerNative handler_;
        static readonly Encoding HandlerText =
            Environment.OSVersion.Platform == PlatformID.Unix ? new UTF8Encoding(false, false) : Encoding.Default;
#pragma warning restore 414
        [ThreadStatic] static Exception handlerFailure_;

        /// <summary>The code page text other than Chinese goes in: the printer's (its I command).
        /// Latin-1 unless set.</summary>
        public Encoding TextEncoding { get; set; } = Texts.Strict(28591);

        /// <summary>Opens the printer: a terminal at baud (9600, 19200 or 38400) with raw 8N1, or
        /// keeping its speed for baud 0; other routes take no line settings.</summary>
        public Printer(string device, int baud = 9600)
        {
            IntPtr h = Native.PrinterOpen(PathBytes(device), baud);
            if (h == IntPtr.Zero) throw Library.LastError();
            handle_ = new PrinterHandle(h);
        }

        /// <summary>Whether the printer is closed.</summary>
        public bool IsClosed => handle_.IsClosed;

        /// <summary>What the close had to say although it succeeded: "" for nothing; when the
        /// printer had not confirmed the last bytes, which words say (they may still print: never
        /// print them again blindly).</summary>
        public string Notice => handle_.Notice;

        /// <summary>Closes the printer; closing a closed one does nothing. From another thread it ends
        /// a write waiting on a slow printer (that call fails with 1002).</summary>
        public void Close()
        {
            if (!handle_.CloseOnce()) return;
            handle_.SetHandleAsInvalid();
            handler_ = null;
            if (handle_.CloseResult != 0) throw Library.LastError();
        }

        /// <summary>Closes the printer (as Close).</summary>
        public void Dispose() => Close();

        PrinterHandle Live
        {
            get
            {
                if (handle_.IsClosed || handle_.IsInvalid) throw new QuillbarException(1001, "the printer is closed");
                return handle_;
            }
        }

        void Check(int result)
        {
            if (result == 0) return;
            // Closed by another thread meanwhile: the reason is the calling thread's.
            if (handle_.IsClosed) throw Library.LastError();
            throw new QuillbarException(Native.PrinterGetLastErrorCode(handle_),
                                        Texts.Utf8(Native.PrinterGetLastErrorMessage(handle_)));
        }

        byte[] Text(string text) => Texts.Bytes(text, TextEncoding, "text");
        static byte[] Gbk(string text) => Texts.Bytes(text, Gb, "Chinese text");
        // A path as the system takes it: UTF-8 on Linux, the ANSI code page on Windows.
        static byte[] PathBytes(string path) =>
            Texts.Bytes(path, Environment.OSVersion.Platform == PlatformID.Win32NT ? Encoding.Default : new UTF8Encoding(false, true),
                        "path");

        /// <summary>Asks the printer (^ee) and waits at most timeoutMs for its answer: Status.Unknown when
        /// the route carries none or none came in time.</summary>
        public Status Status(int timeoutMs = 2000)
        {
            if (timeoutMs < 0) throw new QuillbarException(1001, "timeout " + timeoutMs + " ms is negative");
            int result = Native.PrinterStatus(Live, timeoutMs);
            if (handle_.IsClosed) throw new QuillbarException(1001, "the printer was closed meanwhile");
            return (Status)result;
        }

        /// <summary>This printer's last failure's code as this thread saw it (0: none).</summary>
        public int LastErrorCode => Native.PrinterGetLastErrorCode(Live);
        /// <summary>This printer's last failure in words as this thread saw it ("": none).</summary>
        public string LastErrorMessage => Texts.Utf8(Native.PrinterGetLastErrorMessage(Live));

        /// <summary>Sends bytes as they are; bytes ending with a print command complete a label.</summary>
        public void SendBytes(byte[] data)
        {
            if (data == null) throw new QuillbarException(1001, "the data is null");
            Check(Native.PrinterSendBytes(Live, data, (UIntPtr)data.Length));
        }

        /// <summary>handler(text) sees each stage of DownPicture: the text as the header gives it,
        /// UTF-8 on POSIX (the path as given, the lines sent), the ANSI code page on Windows; bytes
        /// that are neither show as U+FFFD. null removes it. An exception it throws ends DownPicture
        /// with it.</summary>
        public void SetMessageHandler(Action<string> handler)
        {
            MessageHandlerNative native = null;
            if (handler != null)
                native = (text, context) =>
                {
                    try
                    {
                        int length = 0;
                        while (Marshal.ReadByte(text, length) != 0) ++length;
                        var bytes = new byte[length];
                        Marshal.Copy(text, bytes, 0, length);
                        handler(HandlerText.GetString(bytes));
                    }
                    catch (Exception e)
                    {
                        // Nothing is thrown into the library: it is passed on when the call returns.
                        handlerFailure_ = handlerFailure_ ?? e;
                    }
                };
            Check(Native.PrinterSetMessageHandler(Live, native, IntPtr.Zero));
            handler_ = native;  // the library returns once no thread is inside the old one
        }

        /// <summary>Stores the picture file at path (a 1-bit PCX) in the printer as name.</summary>
        public void DownPicture(string path, string name)
        {
            handlerFailure_ = null;
            int result = Native.PrinterDownPicture(Live, PathBytes(path), Text(name));
            Exception failed = handlerFailure_;
            handlerFailure_ = null;
            if (failed != null) throw new QuillbarException(0, "the message handler threw: " + failed.Message, failed);
            if (result != 0) throw new QuillbarException(0, Texts.Utf8(Native.PrinterGetLastErrorMessage(handle_)));
        }
    }
}
