package com.brennick.util;

/**
 * A point in time in UTC, to the second, as Windows reports a file time.
 */
public class FileTime {
    /** The year, such as 2024. */
    private final int year;
    /** The month, 1 (January) to 12. */
    private final int month;
    /** The day of the month, 1 to 31. */
    private final int day;
    /** The hour, 0 to 23. */
    private final int hour;
    /** The minute, 0 to 59. */
    private final int minute;
    /** The second, 0 to 59. */
    private final int second;

    /**
     * Creates a time from its calendar fields, all in UTC.
     *
     * @param year the year, such as 2024
     * @param month the month, 1 (January) to 12
     * @param day the day of the month, 1 to 31
     * @param hour the hour, 0 to 23
     * @param minute the minute, 0 to 59
     * @param second the second, 0 to 59
     */
    public FileTime(int year, int month, int day, int hour, int minute, int second) {
        this.year = year;
        this.month = month;
        this.day = day;
        this.hour = hour;
        this.minute = minute;
        this.second = second;
    }

    /** @return the year */
    public int getYear() {
        return year;
    }

    /** @return the month, 1 (January) to 12 */
    public int getMonth() {
        return month;
    }

    /** @return the day of the month, 1 to 31 */
    public int getDay() {
        return day;
    }

    /** @return the hour, 0 to 23 */
    public int getHour() {
        return hour;
    }

    /** @return the minute, 0 to 59 */
    public int getMinute() {
        return minute;
    }

    /** @return the second, 0 to 59 */
    public int getSecond() {
        return second;
    }

    /** @return the time as yyyy-mm-dd hh:mm:ss UTC */
    @Override
    public String toString() {
        return String.format("%04d-%02d-%02d %02d:%02d:%02d UTC", year, month, day, hour, minute, second);
    }
}
