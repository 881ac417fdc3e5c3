package com.brennick.util;

import java.util.Vector;

/**
 * Windows services of the desktop application, implemented in QLPGPUtils.dll.
 *
 * <p>Window handles cross this interface as 32-bit values. Every method needs the library, which
 * the class loads when it is initialised.
 */
public final class Native {
    static {
        System.loadLibrary("QLPGPUtils");
    }

    /** Not instantiated: every method is static. */
    private Native() {
    }

    /**
     * Publishes the application's main and hidden window handles to other processes, then blocks
     * until a process asks the application to open files.
     *
     * @param mainWnd the main window handle
     * @param hiddenWnd the hidden window handle
     * @return the request text
     */
    public static native String waitForOpenFileRequest(int mainWnd, int hiddenWnd);

    /**
     * Reads a file's creation time.
     *
     * @param path the file
     * @return the creation time in UTC, or null when it cannot be read
     */
    public static native FileTime getFileCreationTime(String path);

    /**
     * Empties a file and sets its creation, last-access and last-write times to the current time. A
     * file that does not exist is not created.
     *
     * @param path the file
     * @return true when the file could be opened (and so was emptied)
     */
    public static native boolean updateFileCreationTime(String path);

    /**
     * Finds a top-level window by its exact title.
     *
     * @param title the window title
     * @return the window handle, or -1 when there is no such window
     */
    public static native int getHwnd(String title);

    /**
     * Brings the top-level window with this title to the foreground, if there is one.
     *
     * @param title the window title
     */
    public static native void setForegroundWindow(String title);

    /**
     * Brings a window to the foreground.
     *
     * @param hwnd the window handle
     * @return nonzero on success
     */
    public static native int setForegroundWindow(int hwnd);

    /**
     * Keeps a window above all non-topmost windows.
     *
     * @param hwnd the window handle
     * @return nonzero on success
     */
    public static native int setTopmost(int hwnd);

    /**
     * Returns a window to the normal stacking order.
     *
     * @param hwnd the window handle
     * @return nonzero on success
     */
    public static native int setNotTopmost(int hwnd);

    /**
     * The Windows system directory.
     *
     * @return the directory's path
     */
    public static native String getLD();

    /**
     * The Windows directory.
     *
     * @return the directory's path
     */
    public static native String getWindowsDir();

    /**
     * Creates a scheduled task that runs a command.
     *
     * @param taskName the task's name
     * @param command the command line to run
     * @param parentWindow the window handle that owns any dialog shown
     * @return null on success, else a description of the error
     */
    public static native String scheduleTask(String taskName, String command, int parentWindow);

    /**
     * Hands a message to the default mail program.
     *
     * @param to the recipients
     * @param cc the copy recipients
     * @param bcc the blind copy recipients
     * @param subject the subject line
     * @param attachments paths of the files to attach
     * @param body the message text
     * @param showDialog true to let the user edit the message before it is sent
     * @return 0 on success, else the mail system's error code
     */
    public static native int sendEmail(String[] to, String[] cc, String[] bcc, String subject,
            String[] attachments, String body, boolean showDialog);

    /**
     * Adds the hardware (MAC) addresses of this machine's network adapters to a vector.
     *
     * @param addresses the vector that receives one text per address
     */
    public static native void getHAddresses(Vector<String> addresses);
}
