// SPDX-License-Identifier: MIT
// The quick start's label from C#: mcs -r:Quillbar.dll Label.cs, then
// mono Label.exe /dev/ttyUSB0 (or a file, or tcp://HOST:9100 0).
using System;
using Quillbar;

static class Label
{
    static int Main(string[] args)
    {
        string device = args.Length > 0 ? args[0] : "/dev/ttyUSB0";
        int baud = args.Length > 1 ? int.Parse(args[1]) : 9600;
        try
        {
            using (var p = new Printer(device, baud))
            {
                p.SetInitialize(3, 10, 1);                       // S3  D10  JB
                p.SetPaperSize(0, 100, 60, 3);                   // q800  Q480,24
                p.SetClear();                                    // N
                p.PrintBox(2, 2, 98, 58, 1);                     // X16,16,8,784,464
                p.PrintCharacter(5, 5, 0, 4, 1, 1, 0, "HELLO");  // A40,40,0,4,1,1,N,"HELLO"
                p.PrintChineseStr(5, 14, 1, 0, 4, 0, "中文标签");  // as GBK, drawn on the host
                p.PrintBarcodeByName(5, 30, 0, "EAN-13", 0, 0, 10, 1, "501234567890");
                p.Print(1);                                      // P1
                Console.WriteLine("printed with quillbar " + Library.Version + "; the printer says " + p.Status(2000));
            }
            return 0;
        }
        catch (QuillbarException e)
        {
            Console.Error.WriteLine(e.Message);  // e.Code: 1001, 1002, 2001 or 2002
            return 1;
        }
    }
}
