<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AboutForm</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>软件名称：TALVIK 52K 上位软件</source>
        <translation>Program: TALVIK 52K host software</translation>
    </message>
    <message>
        <source>软件版本：V2.0</source>
        <translation>Version: V2.0</translation>
    </message>
    <message>
        <source>确认</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>AlarmRule</name>
    <message>
        <source>高于上限</source>
        <translation>Above high limit</translation>
    </message>
    <message>
        <source>低于下限</source>
        <translation>Below low limit</translation>
    </message>
    <message>
        <source>报警：%1 %2（%3 起）</source>
        <translation>Alarm: %1 %2 (since %3)</translation>
    </message>
</context>
<context>
    <name>AlarmSettingForm</name>
    <message>
        <source>报警设置</source>
        <translation>Alarm Settings</translation>
    </message>
    <message>
        <source>功能：</source>
        <translation>Function:</translation>
    </message>
    <message>
        <source>下限</source>
        <translation>Low limit</translation>
    </message>
    <message>
        <source>上限</source>
        <translation>High limit</translation>
    </message>
    <message>
        <source>回差</source>
        <translation>Hysteresis</translation>
    </message>
    <message>
        <source>上限、下限和回差以所选的基本单位（V、A、Ω、F、Hz）计，在该功能的每个量程上都有效。</source>
        <translation>The limits and the hysteresis are in the base unit chosen (V, A, Ω, F, Hz) and hold on every range of the function.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>下限须小于上限，回差不能为负！</source>
        <translation>The low limit must be below the high limit, and the hysteresis cannot be negative!</translation>
    </message>
</context>
<context>
    <name>CommSettingForm</name>
    <message>
        <source>串口设置</source>
        <translation>Serial Port</translation>
    </message>
    <message>
        <source>串口号：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>DateTimeField</name>
    <message>
        <source>时间格式错误</source>
        <translation>Invalid date and time</translation>
    </message>
    <message>
        <source>无法识别的时间：“%1”
请按 %2 的格式输入，例如 %3。</source>
        <translation>Not a date and time: &quot;%1&quot;
Please enter it as %2, for example %3.</translation>
    </message>
</context>
<context>
    <name>DbSettingForm</name>
    <message>
        <source>数据库设置</source>
        <translation>Database Settings</translation>
    </message>
    <message>
        <source>服务器：</source>
        <translation>Server:</translation>
    </message>
    <message>
        <source>端口：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>数据库：</source>
        <translation>Database:</translation>
    </message>
    <message>
        <source>用户：</source>
        <translation>User:</translation>
    </message>
    <message>
        <source>密码：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>仪表名称：</source>
        <translation>Meter name:</translation>
    </message>
    <message>
        <source>测试连接</source>
        <translation>Test Connection</translation>
    </message>
    <message>
        <source>由环境变量 %1 设定</source>
        <translation>Set by the environment variable %1</translation>
    </message>
    <message>
        <source>环境变量 %1 已设定：其值优先于这里的设置，相应的项不能在此更改。</source>
        <translation>Set by environment variables: %1. Their values win over the settings here; those fields cannot be changed here.</translation>
    </message>
    <message>
        <source>设置无效：%1</source>
        <translation>Unusable settings: %1</translation>
    </message>
    <message>
        <source>密码保存在：%1</source>
        <translation>The password is kept in: %1</translation>
    </message>
    <message>
        <source>正在连接 %1:%2 …</source>
        <translation>Connecting to %1:%2 …</translation>
    </message>
    <message>
        <source>连接成功。服务器：%1</source>
        <translation>Connected. Server: %1</translation>
    </message>
    <message>
        <source>连接失败：%1</source>
        <translation>Connection failed: %1</translation>
    </message>
    <message>
        <source>连接失败：%1
服务器：%2</source>
        <translation>Connection failed: %1
Server: %2</translation>
    </message>
    <message>
        <source>仪表名称</source>
        <translation>Meter name</translation>
    </message>
    <message>
        <source>请填写服务器。</source>
        <translation>Please enter the server.</translation>
    </message>
    <message>
        <source>“%1”不能用作数据库名称。</source>
        <translation>&quot;%1&quot; cannot be used as a database name.</translation>
    </message>
    <message>
        <source>数据库设置(&amp;D)</source>
        <translation>&amp;Database Settings</translation>
    </message>
    <message>
        <source>%1（无法读取：%2）</source>
        <translation>%1 (cannot be read: %2)</translation>
    </message>
    <message>
        <source>密码未能保存：%1</source>
        <translation>The password could not be kept: %1</translation>
    </message>
</context>
<context>
    <name>Export</name>
    <message>
        <source>正在导出 %1 条记录…</source>
        <translation>Exporting %1 records…</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>历史记录读取失败！
%1</source>
        <translation>Failed to read the history!
%1</translation>
    </message>
</context>
<context>
    <name>FrontPanel</name>
    <message>
        <source>BAT</source>
        <translation>BAT</translation>
    </message>
    <message>
        <source>MAX</source>
        <translation>MAX</translation>
    </message>
    <message>
        <source>MIN</source>
        <translation>MIN</translation>
    </message>
    <message>
        <source>HOLD</source>
        <translation>HOLD</translation>
    </message>
    <message>
        <source>REL</source>
        <translation>REL</translation>
    </message>
    <message>
        <source>RS232</source>
        <translation>RS232</translation>
    </message>
    <message>
        <source>DIODE</source>
        <translation>DIODE</translation>
    </message>
    <message>
        <source>AUTO</source>
        <translation>AUTO</translation>
    </message>
    <message>
        <source>APO</source>
        <translation>APO</translation>
    </message>
    <message>
        <source>8.000</source>
        <translation>8.000</translation>
    </message>
    <message>
        <source>MHz</source>
        <translation>MHz</translation>
    </message>
    <message>
        <source>0</source>
        <translation>0</translation>
    </message>
    <message>
        <source>10</source>
        <translation>10</translation>
    </message>
    <message>
        <source>20</source>
        <translation>20</translation>
    </message>
    <message>
        <source>30</source>
        <translation>30</translation>
    </message>
    <message>
        <source>40</source>
        <translation>40</translation>
    </message>
    <message>
        <source>50</source>
        <translation>50</translation>
    </message>
    <message>
        <source>60</source>
        <translation>60</translation>
    </message>
</context>
<context>
    <name>HelpBrowser</name>
    <message>
        <source>&lt;html&gt;&lt;body&gt;&lt;h3&gt;页面不存在&lt;/h3&gt;&lt;p&gt;帮助文件中没有“%1”。&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;body&gt;&lt;h3&gt;Page not found&lt;/h3&gt;&lt;p&gt;The help file has no “%1”.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
</context>
<context>
    <name>HelpForm</name>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>后退</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>前进</source>
        <translation>Forward</translation>
    </message>
    <message>
        <source>主页</source>
        <translation>Home</translation>
    </message>
    <message>
        <source>目录</source>
        <translation>Contents</translation>
    </message>
</context>
<context>
    <name>HisSettingForm</name>
    <message>
        <source>历史记录查询时间选择</source>
        <translation>History Time Range</translation>
    </message>
    <message>
        <source>查询记录起始时间：</source>
        <translation>Start time:</translation>
    </message>
    <message>
        <source>查询记录停止时间：</source>
        <translation>Stop time:</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>HisViewForm</name>
    <message>
        <source>历史记录查看</source>
        <translation>History</translation>
    </message>
    <message>
        <source>导出EXCEL</source>
        <translation>Export Excel</translation>
    </message>
    <message>
        <source>导出TXT</source>
        <translation>Export TXT</translation>
    </message>
    <message>
        <source>打印</source>
        <translation>Print</translation>
    </message>
    <message>
        <source>正在读取历史记录…</source>
        <translation>Reading the history…</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>数据记录</source>
        <translation>Readings</translation>
    </message>
    <message>
        <source>yyyy-MM-dd HH:mm:ss</source>
        <translation>yyyy-MM-dd HH:mm:ss</translation>
    </message>
    <message>
        <source>至</source>
        <translation>to</translation>
    </message>
    <message>
        <source>仪表</source>
        <translation>Meter</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>最近1小时</source>
        <translation>Last hour</translation>
    </message>
    <message>
        <source>今天</source>
        <translation>Today</translation>
    </message>
    <message>
        <source>昨天</source>
        <translation>Yesterday</translation>
    </message>
    <message>
        <source>最近7天</source>
        <translation>Last 7 days</translation>
    </message>
    <message>
        <source>导出CSV</source>
        <translation>Export CSV</translation>
    </message>
    <message>
        <source>报警：高于上限 %1</source>
        <translation>Alarm: above high limit %1</translation>
    </message>
    <message>
        <source>解除：上限 %1</source>
        <translation>Cleared: high limit %1</translation>
    </message>
    <message>
        <source>报警：低于下限 %1</source>
        <translation>Alarm: below low limit %1</translation>
    </message>
    <message>
        <source>解除：下限 %1</source>
        <translation>Cleared: low limit %1</translation>
    </message>
    <message>
        <source>全部仪表</source>
        <translation>All meters</translation>
    </message>
    <message>
        <source>曲线显示的功能和单位</source>
        <translation>Function and unit shown in the plot</translation>
    </message>
    <message>
        <source>报警事件</source>
        <translation>Alarm events</translation>
    </message>
    <message>
        <source>报警事件读取失败：%1</source>
        <translation>Failed to read alarm events: %1</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>历史记录读取失败！
%1</source>
        <translation>Failed to read the history!
%1</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>停止时间要大于起始时间！</source>
        <translation>The stop time must be later than the start time!</translation>
    </message>
    <message>
        <source>数据库已关闭</source>
        <translation>the database is closed</translation>
    </message>
    <message>
        <source>跟随最新</source>
        <translation>Follow latest</translation>
    </message>
    <message>
        <source>其他程序写入的新读数随时显示</source>
        <translation>Show new readings as other programs write them</translation>
    </message>
    <message>
        <source>生成摘要</source>
        <translation>Build summaries</translation>
    </message>
    <message>
        <source>为已有读数生成摘要，之后长时间段的曲线和统计立即显示</source>
        <translation>Build summaries of the stored readings so that long ranges draw and count at once</translation>
    </message>
    <message>
        <source>曲线读取失败：%1</source>
        <translation>Reading the curve failed: %1</translation>
    </message>
    <message>
        <source>未命名仪表</source>
        <translation>Unnamed meter</translation>
    </message>
    <message>
        <source>历史记录读取失败</source>
        <translation>Failed to read the history</translation>
    </message>
    <message>
        <source>长时间段读取较慢：%1</source>
        <translation>Long ranges read slowly: %1</translation>
    </message>
    <message>
        <source>摘要生成失败：%1</source>
        <translation>Building the summaries failed: %1</translation>
    </message>
    <message>
        <source>%1 台仪表合计</source>
        <translation>All %1 meters</translation>
    </message>
    <message>
        <source>%1

现在开始？</source>
        <translation>%1

Start now?</translation>
    </message>
</context>
<context>
    <name>HistoryLoader</name>
    <message>
        <source>读取超时：%1 秒内未能读出记录（数据表被锁定或查询过慢）。
%2</source>
        <translation>Read timed out: no records within %1 s (the table is locked or the query is too slow).
%2</translation>
    </message>
</context>
<context>
    <name>HistoryTableModel</name>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>数据</source>
        <translation>Reading</translation>
    </message>
    <message>
        <source>单位</source>
        <translation>Unit</translation>
    </message>
    <message>
        <source>功能</source>
        <translation>Function</translation>
    </message>
    <message>
        <source>仪表</source>
        <translation>Meter</translation>
    </message>
</context>
<context>
    <name>KeyringPasswordStore</name>
    <message>
        <source>桌面密钥环</source>
        <translation>the desktop&apos;s keyring</translation>
    </message>
</context>
<context>
    <name>LanguageMenu</name>
    <message>
        <source>语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>界面语言将在下次启动时更改。</source>
        <translation>The interface language changes the next time the program starts.</translation>
    </message>
    <message>
        <source>语言(&amp;L)</source>
        <translation>&amp;Language</translation>
    </message>
</context>
<context>
    <name>LiveReadingModel</name>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>数据</source>
        <translation>Reading</translation>
    </message>
    <message>
        <source>功能</source>
        <translation>Function</translation>
    </message>
</context>
<context>
    <name>MeterSession</name>
    <message>
        <source>（请将当前用户加入 %1 组）</source>
        <translation> (add the current user to the group %1)</translation>
    </message>
    <message>
        <source>（%1 的权限 %2（属主 %3，组 %4）不允许当前用户读写）</source>
        <translation> (the permissions of %1, %2 with owner %3 and group %4, do not let the current user read and write it)</translation>
    </message>
    <message>
        <source>（系统的设备策略不允许打开 %1，例如服务的 DevicePolicy/DeviceAllow 设置或容器的设备限制）</source>
        <translation> (the system&apos;s device policy refuses %1, such as a service&apos;s DevicePolicy/DeviceAllow or a container&apos;s device rules)</translation>
    </message>
    <message>
        <source>未选择串口</source>
        <translation>No serial port selected</translation>
    </message>
    <message>
        <source>串口已打开，采集进行中</source>
        <translation>Serial port open, acquiring</translation>
    </message>
    <message>
        <source>（串口正被其他程序使用）</source>
        <translation> (the port is in use by another program)</translation>
    </message>
    <message>
        <source>（串口正被其他程序使用：%1）</source>
        <translation> (the port is in use by another program: %1)</translation>
    </message>
</context>
<context>
    <name>PlotViewBar</name>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>暂停/跟随最新数据</source>
        <translation>Pause / follow the latest data</translation>
    </message>
    <message>
        <source>复位缩放和平移</source>
        <translation>Reset zoom and pan</translation>
    </message>
    <message>
        <source>自动刻度</source>
        <translation>Auto scale</translation>
    </message>
    <message>
        <source>纵轴随数据自动缩放</source>
        <translation>Scale the vertical axis to the data</translation>
    </message>
    <message>
        <source>跟随</source>
        <translation>Follow</translation>
    </message>
    <message>
        <source>全图</source>
        <translation>Fit</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>找不到帮助文件：%1</source>
        <translation>Help file not found: %1</translation>
    </message>
    <message>
        <source>无法打开帮助文件：%1</source>
        <translation>Cannot open the help file: %1</translation>
    </message>
</context>
<context>
    <name>RunMonitor</name>
    <message>
        <source>报警设置(&amp;A)</source>
        <translation>&amp;Alarm Settings</translation>
    </message>
</context>
<context>
    <name>SchemaVersion</name>
    <message>
        <source>数据库中的 %1 已由版本 %2 的程序改为新的结构，只有 %3 或更新的版本能写入（本程序为 %4）。</source>
        <translation>%1 in the database was given a new layout by version %2 of the program; only %3 or later may write to it (this program is %4).</translation>
    </message>
</context>
<context>
    <name>StatsBox</name>
    <message>
        <source>统计</source>
        <translation>Statistics</translation>
    </message>
    <message>
        <source>个数</source>
        <translation>Count</translation>
    </message>
    <message>
        <source>平均值</source>
        <translation>Mean</translation>
    </message>
    <message>
        <source>标准差</source>
        <translation>Std. dev.</translation>
    </message>
    <message>
        <source>超量程</source>
        <translation>Overloads</translation>
    </message>
    <message>
        <source>最小值</source>
        <translation>Minimum</translation>
    </message>
    <message>
        <source>最大值</source>
        <translation>Maximum</translation>
    </message>
    <message>
        <source>统计：%1</source>
        <translation>Statistics: %1</translation>
    </message>
    <message>
        <source>仪表</source>
        <translation>Meter</translation>
    </message>
</context>
<context>
    <name>StoreMenu</name>
    <message>
        <source>重新写入被拒绝的读数(&amp;W)</source>
        <translation>Re&amp;write Refused Readings</translation>
    </message>
    <message>
        <source>服务器：%1</source>
        <translation>Server: %1</translation>
    </message>
</context>
<context>
    <name>SummarySchema</name>
    <message>
        <source>分区 %1 在本程序之外被建立、挂接或更改，汇总表需要修复。</source>
        <translation>Partition %1 was made, attached or changed outside the program; the summaries need repairing.</translation>
    </message>
    <message>
        <source>分区 %1 本身又被分区，汇总表不支持这种数据表，历史记录将逐行读取。</source>
        <translation>Partition %1 is partitioned itself; the summaries do not support such a table, so the history is read row by row.</translation>
    </message>
    <message>
        <source>另一个程序正在建立汇总表。</source>
        <translation>Another program is building the summaries.</translation>
    </message>
    <message>
        <source>数据库服务器版本过低：汇总表需要 PostgreSQL 15 或更新版本，历史记录将逐行读取。</source>
        <translation>The database server is too old: the summaries need PostgreSQL 15 or later, so the history is read row by row.</translation>
    </message>
    <message>
        <source>数据表 invoice 不存在。</source>
        <translation>The table invoice does not exist.</translation>
    </message>
    <message>
        <source>数据表 invoice 的列不合汇总表之用（%1），历史记录将逐行读取。</source>
        <translation>The summaries cannot read the columns of the table invoice (%1), so the history is read row by row.</translation>
    </message>
    <message>
        <source>给数据表 invoice 建立 create_time 的索引 invoice_create_time_idx（CREATE INDEX CONCURRENTLY：不锁写入和读取，只等当时未结束的事务）。</source>
        <translation>Makes the index invoice_create_time_idx on create_time of the table invoice (CREATE INDEX CONCURRENTLY: writers and readers carry on; it only waits for the transactions open at the time).</translation>
    </message>
    <message>
        <source>建立汇总表和函数，给 invoice 及其分区加上汇总触发器：锁住数据表一次，通常不到一秒（至多等候 10 秒），其间写入等待，读取照常。invoice 的列、每一行的值和原有的 INSERT、SELECT 语句都不变。</source>
        <translation>Makes the summary tables and functions and gives invoice and its partitions the summary triggers: locks the table once, usually for less than a second (waiting 10 s at most for the lock), writers waiting meanwhile, readers not. The columns of invoice, every row&apos;s values and the INSERT and SELECT statements in use stay as they are.</translation>
    </message>
    <message>
        <source>汇总%1：分段进行，每段约一秒，其间写入这一段所在的表或分区的程序等待，读取照常；可随时中断，下次从中断处继续。</source>
        <translation>Summarizes %1 in steps of about a second each, during which writers to the table or partition of that step wait and readers do not; it may be stopped at any time and carries on from there the next time.</translation>
    </message>
    <message>
        <source>数据表 invoice 被重写过（VACUUM FULL 或 CLUSTER），同一时刻的读数次序可能已变，汇总表需要修复。</source>
        <translation>The table invoice was rewritten (VACUUM FULL or CLUSTER), which may have changed the order of readings of equal time; the summaries need repairing.</translation>
    </message>
    <message>
        <source>约 %1 行读数</source>
        <translation>about %1 readings</translation>
    </message>
    <message>
        <source>尚未汇总的读数</source>
        <translation>the readings not summarized yet</translation>
    </message>
    <message>
        <source>数据表 invoice 的分区在本程序之外被删除或分离，汇总表需要修复。</source>
        <translation>A partition of the table invoice was dropped or detached outside the program; the summaries need repairing.</translation>
    </message>
    <message>
        <source>数据表 invoice 的汇总触发器被删除或停用，汇总表需要修复。</source>
        <translation>The summary triggers of the table invoice were dropped or disabled; the summaries need repairing.</translation>
    </message>
    <message>
        <source>无法查询汇总表：%1</source>
        <translation>Cannot query the summaries: %1</translation>
    </message>
    <message>
        <source>汇总表尚未建立。</source>
        <translation>The summaries have not been built yet.</translation>
    </message>
    <message>
        <source>汇总表尚未建立完成。</source>
        <translation>The summaries are not complete yet.</translation>
    </message>
    <message>
        <source>汇总表由其他版本的程序建立，需要重建。</source>
        <translation>The summaries were made by another version of the program and need rebuilding.</translation>
    </message>
    <message>
        <source>没有 %1 列</source>
        <translation>no %1 column</translation>
    </message>
    <message>
        <source>没有在数据库中建立汇总表的权限，历史记录将逐行读取。</source>
        <translation>No right to make the summaries in the database, so the history is read row by row.</translation>
    </message>
    <message>
        <source>没有读取汇总表的权限，历史记录将逐行读取。</source>
        <translation>No right to read the summaries, so the history is read row by row.</translation>
    </message>
    <message>
        <source>数据表 invoice 的汇总触发器曾被停用或更改，汇总表可能缺少读数，需要修复。</source>
        <translation>The summary triggers of the table invoice were disabled or changed for a while; the summaries may lack readings and need repairing.</translation>
    </message>
    <message>
        <source>分区 %1 的汇总触发器曾被停用或更改，汇总表可能缺少读数，需要修复。</source>
        <translation>The summary triggers of partition %1 were disabled or changed for a while; the summaries may lack readings and need repairing.</translation>
    </message>
</context>
<context>
    <name>TK52KCommClass</name>
    <message>
        <source>TALVIK 52K</source>
        <translation>TALVIK 52K</translation>
    </message>
    <message>
        <source>最大值：</source>
        <translation>Max:</translation>
    </message>
    <message>
        <source>最小值：</source>
        <translation>Min:</translation>
    </message>
    <message>
        <source>历史记录查询</source>
        <translation>History</translation>
    </message>
    <message>
        <source>启动</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>导出TXT</source>
        <translation>Export TXT</translation>
    </message>
    <message>
        <source>导出EXCEL</source>
        <translation>Export Excel</translation>
    </message>
    <message>
        <source>打印</source>
        <translation>Print</translation>
    </message>
    <message>
        <source>文件(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>设置(&amp;S)</source>
        <translation>&amp;Settings</translation>
    </message>
    <message>
        <source>帮助(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>串口设置(&amp;P)</source>
        <translation>Serial &amp;Port</translation>
    </message>
    <message>
        <source>时间间隔(&amp;I)</source>
        <translation>Sampling &amp;Interval</translation>
    </message>
    <message>
        <source>软件使用说明(&amp;M)</source>
        <translation>User &amp;Manual</translation>
    </message>
    <message>
        <source>关于(&amp;A)</source>
        <translation>&amp;About</translation>
    </message>
    <message>
        <source>退出(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>历史记录查询(&amp;H)</source>
        <translation>&amp;History</translation>
    </message>
</context>
<context>
    <name>TK52K_Comm</name>
    <message>
        <source>仪表无数据（%1 起）</source>
        <translation>No data from the meter (since %1)</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>请设置串口！</source>
        <translation>Please choose a serial port!</translation>
    </message>
    <message>
        <source>确 定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>已连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>数据记录</source>
        <translation>Readings</translation>
    </message>
    <message>
        <source>停止时间要大于起始时间！</source>
        <translation>The stop time must be later than the start time!</translation>
    </message>
    <message>
        <source>取 消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>断线后继续采集(&amp;K)</source>
        <translation>&amp;Keep Logging Through Dropouts</translation>
    </message>
    <message>
        <source>串口已断开，正在重连</source>
        <translation>Serial port lost, reconnecting</translation>
    </message>
    <message>
        <source>跨量程连续显示(&amp;R)</source>
        <translation>Continuous Trace Across &amp;Ranges</translation>
    </message>
    <message>
        <source>量程切换时曲线、表格和统计继续，曲线以基本单位显示</source>
        <translation>Curve, table and statistics go on when the range changes; the curve is in the base unit</translation>
    </message>
    <message>
        <source>未连接：仪表没有发送任何数据</source>
        <translation>Not connected: the meter sent no data</translation>
    </message>
    <message>
        <source>本次采集的历史记录(&amp;R)</source>
        <translation>History of this &amp;run</translation>
    </message>
</context>
<context>
    <name>TableExport</name>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>文件已经导出，是否现在打开？</source>
        <translation>The file has been exported. Open it now?</translation>
    </message>
    <message>
        <source>是</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>No</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>文件导出失败：
%1
%2</source>
        <translation>Export failed:
%1
%2</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>文本文档(*.txt)</source>
        <translation>Text files (*.txt)</translation>
    </message>
    <message>
        <source>Read File</source>
        <translation>Read File</translation>
    </message>
    <message>
        <source>Cannot open file:
%1</source>
        <translation>Cannot open file:
%1</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>文本文档保存失败！
%1</source>
        <translation>Failed to save the text file!
%1</translation>
    </message>
    <message>
        <source>文本文档保存成功！</source>
        <translation>Text file saved!</translation>
    </message>
    <message>
        <source>CSV 文件(*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message>
        <source>CSV 文件保存成功！</source>
        <translation>CSV file saved!</translation>
    </message>
    <message>
        <source>无法创建文件</source>
        <translation>Cannot create the file</translation>
    </message>
    <message>
        <source>写入失败</source>
        <translation>Write failed</translation>
    </message>
    <message>
        <source>导出CSV</source>
        <translation>Export CSV</translation>
    </message>
    <message>
        <source>Excel 文件(*.xls *.xlsx)</source>
        <translation>Excel files (*.xls *.xlsx)</translation>
    </message>
    <message>
        <source>文件打印成功！</source>
        <translation>File printed!</translation>
    </message>
    <message>
        <source>已取消</source>
        <translation>Cancelled</translation>
    </message>
    <message>
        <source>导出已取消，未保存文件。</source>
        <translation>Export cancelled; no file was saved.</translation>
    </message>
    <message>
        <source>没有可打开此文件的程序，文件已保存在：
%1</source>
        <translation>No program is set up to open this file. It was saved as:
%1</translation>
    </message>
</context>
<context>
    <name>TablePrinter</name>
    <message>
        <source>打印</source>
        <translation>Print</translation>
    </message>
    <message>
        <source>将要打印 %1 页，是否继续？</source>
        <translation>%1 pages will be printed. Continue?</translation>
    </message>
    <message>
        <source>第 %1 页，共 %2 页</source>
        <translation>Page %1 of %2</translation>
    </message>
</context>
<context>
    <name>TableText</name>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
</context>
<context>
    <name>TimeSettingForm</name>
    <message>
        <source>采样数据时间间隔</source>
        <translation>Sampling Interval</translation>
    </message>
    <message>
        <source>自动获取</source>
        <translation>Automatic</translation>
    </message>
    <message>
        <source>手动设定</source>
        <translation>Manual</translation>
    </message>
    <message>
        <source>采样数据时间间隔：</source>
        <translation>Sampling interval:</translation>
    </message>
    <message>
        <source>S</source>
        <translation>s</translation>
    </message>
    <message>
        <source>说明：采样数据数据间隔取值范围为（1~3600S）</source>
        <translation>Note: the sampling interval is 1 to 3600 s.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>请输入1~3600之间的整数！</source>
        <translation>Please enter a whole number from 1 to 3600!</translation>
    </message>
</context>
<context>
    <name>TrendPlot</name>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>数值</source>
        <translation>Value</translation>
    </message>
</context>
<context>
    <name>database</name>
    <message>
        <source>数据库已连接（待写入 %1 条）</source>
        <translation>Database connected (%1 readings waiting)</translation>
    </message>
    <message>
        <source>数据库已连接</source>
        <translation>Database connected</translation>
    </message>
    <message>
        <source>数据库未连接（待写入 %1 条）</source>
        <translation>Database not connected (%1 readings waiting)</translation>
    </message>
    <message>
        <source>设置无效：%1</source>
        <translation>Invalid settings: %1</translation>
    </message>
    <message>
        <source>%1 条读数被服务器拒绝</source>
        <translation>%1 readings rejected by the server</translation>
    </message>
    <message>
        <source>%1 条读数被服务器拒绝：%2</source>
        <translation>%1 readings rejected by the server: %2</translation>
    </message>
    <message>
        <source>读数未能保存到磁盘</source>
        <translation>Readings could not be saved to disk</translation>
    </message>
    <message>
        <source>日志中 %1 行不是有效读数，已移出</source>
        <translation>%1 journal lines were no readings and were moved aside</translation>
    </message>
    <message>
        <source>密码错误</source>
        <translation>wrong password</translation>
    </message>
    <message>
        <source>用户不存在</source>
        <translation>no such user</translation>
    </message>
    <message>
        <source>数据库不存在</source>
        <translation>no such database</translation>
    </message>
    <message>
        <source>服务器未运行</source>
        <translation>server not running</translation>
    </message>
    <message>
        <source>找不到服务器</source>
        <translation>server not found</translation>
    </message>
    <message>
        <source>服务器无应答</source>
        <translation>server does not answer</translation>
    </message>
    <message>
        <source>服务器不接受此登录</source>
        <translation>server does not accept this login</translation>
    </message>
    <message>
        <source>服务器正在启动或关闭</source>
        <translation>server starting up or shutting down</translation>
    </message>
    <message>
        <source>服务器连接数已满</source>
        <translation>server has no free connections</translation>
    </message>
    <message>
        <source>权限不足</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>数据库未连接：%1（待写入 %2 条）</source>
        <translation>Database not connected: %1 (%2 readings waiting)</translation>
    </message>
</context>
</TS>
