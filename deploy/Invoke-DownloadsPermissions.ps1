<#
.SYNOPSIS
    Runs DownloadsPermissions once as SYSTEM on each of the given computers
    over PowerShell remoting; returns exactly one row per computer asked.

.DESCRIPTION
    One Invoke-Command job, -ThrottleLimit computers at a time. On each, the
    kit goes into a new folder under Program Files that only SYSTEM and
    Administrators may change (the signed scripts where they lie beside this
    one; nothing runs unless the executable's SHA-256 is the published one),
    and one one-time task runs as SYSTEM the requirement, the tool (unless the
    requirement says False, or -AuditOnly), detection and the audit, each by
    its path, into one Clixml file read back before the task and folder go.
    At the one deadline a computer still working reads "result not known"
    and keeps its task and folder: the tool is never stopped.

.PARAMETER ComputerName
    The computers, each name taken once whatever its case.
.PARAMETER Path
    The executable: by default DownloadsPermissions.signed.exe beside this script.
.PARAMETER Sha256
    Its published SHA-256; by default read from the .sha256 file beside it.
.PARAMETER Credential
    An administrator of the computers, when not the current account.
.PARAMETER ThrottleLimit
    How many computers are worked on at once.
.PARAMETER DeadlineMinutes
    When the run stops waiting. Nothing started on a computer is stopped.
.PARAMETER AuditOnly
    Runs the requirement, detection and the audit, never the tool.
.PARAMETER FindingsPath
    A CSV file, written anew: one line per finding, with the computer's name.
.PARAMETER Summary
    Returns, in place of the rows, each outcome with its count and computers.

.EXAMPLE
    .\Invoke-DownloadsPermissions.ps1 -ComputerName (Get-Content .\machines.txt) -FindingsPath .\findings.csv |
        Export-Csv -NoTypeInformation -Path .\results.csv

.NOTES
    Windows PowerShell 5.1 on both ends (7 here too), elevated, as an
    administrator of the computers; for a pilot and some hundreds of them.

.LINK
    docs/deploying.md#remote-run-a-pilot-or-a-few-hundred-machines
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)][AllowEmptyString()][string[]]$ComputerName,
    [string]$Path,
    [string]$Sha256,
    [System.Management.Automation.PSCredential]$Credential,
    [ValidateRange(1, 1024)][int]$ThrottleLimit = 32,
    [ValidateRange(1, 1440)][int]$DeadlineMinutes = 60,
    [switch]$AuditOnly,
    [string]$FindingsPath,
    [switch]$Summary
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
# What remoting adds to an object, left out of the findings' export.
$Drop = 'ComputerName', 'PSComputerName', 'RunspaceId', 'PSShowComputerName'

# Each status as the tool ends as SYSTEM, first match first: statuses (none:
# any), a pattern its line matches, the outcome, the meaning, where {0} is
# what the line says (Downloads, or the first item left, and why), {1} the status.
$StatusRules = @(
    @(0, '*', 'repaired', 'repaired: Downloads and everything inside it carry their new lists'),
    @(681, '* was partly repaired:*', 'refused', 'refused in part: {0}; the rest was repaired. Remove what it left (the exposure audit lists each; find out who made a link) and run again'),
    @(681, '*became a link while*', 'refused', 'not repaired, something written: Downloads became a junction during the run; treat it as tampering, remove it and run again'),
    @(681, '*', 'refused', 'refused, nothing written: {0}; a link there is tampering (the exposure audit names it)'),
    @(@(2, 3), '*', 'run again', 'run again: {0} (renamed or removed during the run, often by the agent itself)'),
    @(32, '*', 'run again', 'run again once the program that holds it lets go: {0}'),
    @(206, '*', 'failed', 'partly repaired: {0}; what lies that deep was left as it was'),
    @(267, '*', 'failed', 'not repaired, nothing written: Downloads is a file, not a folder'),
    @(1350, '*', 'failed', 'not repaired, nothing written: the program-files folder has no access list (copying it would open Downloads to everyone)'),
    @(@(), 'RegOpenKeyEx*', 'failed', "not repaired, nothing written: the agent's key does not open for full access even to SYSTEM (Windows error {1}; 5: a protected agent, or a key whose list shuts SYSTEM out)"),
    @(@(), '* was partly repaired:*', 'failed', 'partly repaired: {0} (Windows error {1}); the rest was repaired'),
    @(@(), '*SetKernelObjectSecurity() failed*', 'failed', 'not repaired, something written: Downloads may be left with its inherited entries only (Windows error {1}); run it again'),
    @(@(), '*', 'failed', 'not repaired, nothing written: {0} (Windows error {1})')
)

# ---------------------------------------------------------------------------
# Decisions, over plain data.

# The SHA-256 in Text (sha256sum's line for FileName where FileName is
# given), upper case; Source names it in an error.
function Get-PublishedHash {
    param([AllowEmptyString()][AllowNull()][string]$Text, [string]$Source, [string]$FileName)
    $hash, $name = "$(@(([string]$Text) -split "`r?`n" | Where-Object { $_.Trim() })[0])".Trim() -split '\s+\*?', 2
    if ($FileName -and $name -ne $FileName) {
        throw "$Source is not the checksum of $FileName$(if ($name) { " but of '$name'" }): it must hold the line that sha256sum writes for it."
    }
    if ($hash -notmatch '^[0-9A-Fa-f]{64}$') {
        throw "$Source is not a SHA-256 (64 hexadecimal digits): '$hash'. Publish the checksum that sha256sum or Get-FileHash prints."
    }
    $hash.ToUpperInvariant()
}

# The signed copy of a script where it lies in Folder, else the plain one.
function Select-ScriptCopy {
    param([string]$Folder, [string]$Name)
    foreach ($file in (Join-Path $Folder "$Name.signed.ps1"), (Join-Path $Folder "$Name.ps1")) {
        if (Test-Path -LiteralPath $file -PathType Leaf) { return $file }
    }
    throw "neither $Name.signed.ps1 nor $Name.ps1 lies in $Folder; put the kit's scripts beside this script"
}

# The outcome of a status and line, and what it means there.
function Get-StatusMeaning {
    param([long]$Status, [string]$Line)
    $code = [uint32]($Status -band [long]4294967295)
    $said = ($Line -replace '^.*? was (not |partly )?repaired: ', '' -replace '\.? Error -?\d+\s*$', '').Trim()
    if (-not $said) { $said = 'the tool printed no line' }
    # NTSTATUS errors, warnings and informational values: Windows ended the
    # process. (In decimal: 5.1 reads 0x80000000 and up as negative.)
    if ($code -ge 3221225472 -or ($code -ge 2147483649 -and $code -le 2147483695) -or ($code -ge 1073741824 -and $code -le 2147483647)) {
        return @('failed', "the tool stopped abnormally ($('0x{0:X8}' -f $code)); Downloads may be left part-way: run it again")
    }
    $rule = @($StatusRules | Where-Object { (@($_[0]).Count -eq 0 -or @($_[0]) -contains $code) -and $Line -like $_[1] })[0]
    @($rule[2], ($rule[3] -f $said, $code))
}

function New-Row {
    param([string]$ComputerName, [string]$Outcome, [string]$Meaning, $Applies = $null, $ExitStatus = $null, $Line = $null,
        $Repaired = $null, $Findings = $null)
    $need, $exposure = $null, 'not audited'
    if ($null -ne $Findings) {
        $act = @(@($Findings) | Where-Object { $_.Kind -ne 'Baseline' })
        $need, $kinds = $act.Count, (@($act | ForEach-Object { $_.Kind } | Sort-Object -Unique) -join ', ')
        $exposure = "$(if ($need) { "$need need action ($kinds)" } else { 'nothing needs action' })$(if (@($Findings).Count -gt $need) { "; $(@($Findings).Count - $need) stock baseline" })"
    }
    [pscustomobject][ordered]@{ ComputerName = $ComputerName; Outcome = $Outcome; Applies = $Applies; ExitStatus = $ExitStatus
        Line = $Line; Meaning = $Meaning; Repaired = $Repaired; NeedAction = $need; Exposure = $exposure
    }
}

# A computer's row and findings from what its child job handed back: the
# first answer of this run, else the first error, else that there is none.
function ConvertTo-Row {
    param([string]$ComputerName, [string]$Run, [bool]$AuditOnly, $Output, $Errors, $Reason)
    $answer = @(@($Output) | Where-Object { $_ -is [hashtable] -and $_['Answer'] -eq $Run })[0]
    $row = @{ ComputerName = $ComputerName; Outcome = 'failed'; Meaning = 'its answer holds no result' }
    if (-not $answer) {
        $why = @(@($Errors) + @($Reason) | Where-Object { $_ })[0]
        $why = if ($why -is [System.Management.Automation.ErrorRecord]) { $why.Exception.Message } elseif ($why) { $why.Message } else { 'the computer handed back no result' }
        return @{ Row = New-Row $ComputerName 'no answer' "no answer: $why" }
    } elseif ($answer['Error']) {
        $row.Meaning = "not run: $($answer['Error'])"
    }
    if (-not $answer['Result']) { return @{ Row = New-Row @row } }
    $result = [System.Management.Automation.PSSerializer]::Deserialize($answer['Result'])
    foreach ($name in 'Applies', 'ExitStatus', 'Line', 'Repaired', 'Findings') { $row[$name] = $result[$name] }
    if ($false -eq $row.Applies) {
        $row.Outcome, $row.Meaning = 'not applicable', 'not applicable: the requirement, run as SYSTEM, found no agent key that opens for full access, no folder in its Path value, or no Downloads'
    } elseif ($AuditOnly -and $null -ne $row.Repaired) {
        $row.Outcome, $row.Meaning = @(@('needs the tool', 'the tool was not run; detection finds its work not in place'), @('in place', 'the tool was not run; detection finds its work in place'))[[int]$row.Repaired]
    } elseif ($AuditOnly) {
        $row.Meaning = 'detection could not tell'
    } elseif ($null -eq $row.ExitStatus) {
        $row.Meaning = 'not repaired: the tool did not run'
    } else {
        $row.Outcome, $row.Meaning = Get-StatusMeaning $row.ExitStatus "$($row.Line)"
        if ($row.Outcome -eq 'repaired' -and $false -eq $row.Repaired) {
            $row.Outcome, $row.Meaning = 'failed', 'the tool ended with 0, but detection does not find its work in place: see "When detection says not in place"'
        }
    }
    $notes = @(@($result['Notes']) + @($answer['Cleanup']) | Where-Object { $_ })
    if ($notes) { $row.Meaning += "; $($notes -join '; ')" }
    @{ Row = New-Row @row; Findings = $result['Findings'] }
}

# ---------------------------------------------------------------------------
# On each computer. These two go there as text and use nothing else here.

# Run as SYSTEM by the task: the requirement, the tool (unless the
# requirement answered False, or AuditOnly), detection and the audit, each
# by its path in Folder; their answers go to Folder\result.xml.
function Invoke-Runner {
    param([string]$Folder, [string]$Tool, [string]$Requirement, [string]$Detection, [string]$Audit, [bool]$AuditOnly)
    $ErrorActionPreference = 'Continue'
    $result = @{ Applies = $null; ExitStatus = $null; Line = $null; Repaired = $null; Findings = $null; Notes = @() }
    # A script's output, or nothing and why: its status is its own (0 when
    # it ends by itself, N after exit N, 1 when it throws).
    $run = {
        param([string]$What, [string]$Script, [hashtable]$Arguments)
        $global:LASTEXITCODE = 0
        try { $output = @(& (Join-Path $Folder $Script) @Arguments 2>&1) } catch { $result.Notes += "$What failed: $($_.Exception.Message)"; return }
        $errors = @($output | Where-Object { $_ -is [System.Management.Automation.ErrorRecord] })
        if ($LASTEXITCODE -ne 0) { $result.Notes += "$What ended with $LASTEXITCODE$(if ($errors) { ": $($errors[0])" })"; return }
        , @($output | Where-Object { $_ -isnot [System.Management.Automation.ErrorRecord] })
    }
    try {
        $answer = & $run 'the requirement' $Requirement @{}
        $text = "$(@($answer | Where-Object { "$_".Trim() }) -join ' ')".Trim()
        if ('True', 'False' -contains $text) { $result.Applies = $text -eq 'True' }
        elseif ($null -ne $answer) { $result.Notes += "the requirement printed '$text', not True or False" }
        if (-not $AuditOnly -and $false -ne $result.Applies) {
            $process = Start-Process -FilePath (Join-Path $Folder $Tool) -Wait -PassThru -NoNewWindow `
                -RedirectStandardError (Join-Path $Folder 'tool.err.txt') -RedirectStandardOutput (Join-Path $Folder 'tool.out.txt')
            $result.ExitStatus = $process.ExitCode
            $result.Line = @(Get-Content -LiteralPath (Join-Path $Folder 'tool.err.txt') | Where-Object { "$_".Trim() })[0]
        }
        if ($false -ne $result.Applies) {
            $seen = & $run 'detection' $Detection @{}
            if ($null -ne $seen) { $result.Repaired = @($seen | Where-Object { "$_".Trim() }).Count -gt 0 }
        }
        $result.Findings = & $run 'the exposure audit' $Audit @{ Summary = $false; MaxSeconds = 120 }
    } catch {
        $result.Notes += $_.Exception.Message
    } finally {
        $result | Export-Clixml -LiteralPath (Join-Path $Folder 'result.tmp') -Depth 4
        Move-Item -LiteralPath (Join-Path $Folder 'result.tmp') -Destination (Join-Path $Folder 'result.xml') -Force
    }
}

# Stages the files, starts the runner's task, waits for its result and
# cleans up. Hands back a hashtable (ConstrainedLanguage refuses a
# [pscustomobject]): Answer, the run's name, with Result (result.xml's
# text) or Error; Cleanup, what could not be removed.
function Invoke-TargetWork {
    param([hashtable]$Work)
    if ("$($ExecutionContext.SessionState.LanguageMode)" -ne 'FullLanguage') {
        return @{ Answer = $Work.Name; Error = "remote commands run in $($ExecutionContext.SessionState.LanguageMode) there (WDAC or AppLocker): use Intune or Configuration Manager" }
    }
    $ErrorActionPreference = 'Stop'
    $folder = Join-Path $env:ProgramFiles $Work.Name
    $answer = @{ Answer = $Work.Name; Cleanup = @() }
    try { New-Item -ItemType Directory -Path $folder | Out-Null } catch {
        $answer.Error = if (Test-Path -LiteralPath $folder) { "$env:COMPUTERNAME is being worked on in this run under another name" } else { $_.Exception.Message }
        return $answer
    }
    try {
        $null = & icacls.exe $folder /inheritance:r /grant:r '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-544:(OI)(CI)F'
        if ($LASTEXITCODE -ne 0) { throw "icacls could not restrict $folder to SYSTEM and Administrators (exit status $LASTEXITCODE)" }
        foreach ($file in $Work.Files.Keys) { [System.IO.File]::WriteAllBytes((Join-Path $folder $file), [byte[]]$Work.Files[$file]) }
        $hash = (Get-FileHash -LiteralPath (Join-Path $folder $Work.Tool) -Algorithm SHA256).Hash
        if ($hash -ne $Work.Sha256) { throw "the staged copy's SHA-256 is $hash, not the published $($Work.Sha256); nothing was run" }
        # The runner is text read from the folder; the only script files run
        # are the kit's, each by its path, so that their signatures count.
        $q = { "'" + "$($args[0])".Replace("'", "''") + "'" }
        $call = "& ([scriptblock]::Create([IO.File]::ReadAllText($(& $q (Join-Path $folder 'runner.txt'))))) -Folder $(& $q $folder) -Tool $(& $q $Work.Tool) " +
            "-Requirement $(& $q $Work.Scripts.Requirement) -Detection $(& $q $Work.Scripts.Detection) -Audit $(& $q $Work.Scripts.Audit) -AuditOnly `$$($Work.AuditOnly)"
        $action = New-ScheduledTaskAction -Execute "`"$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe`"" `
            -Argument "-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command `"$call`""
        $principal = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
        # No time limit: Task Scheduler never stops the runner, nor the tool.
        $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -ExecutionTimeLimit ([TimeSpan]::Zero)
        Register-ScheduledTask -TaskName $Work.Name -Action $action -Principal $principal -Settings $settings | Out-Null
        Start-ScheduledTask -TaskName $Work.Name
    } catch {
        $answer.Error = $_.Exception.Message
        Unregister-ScheduledTask -TaskName $Work.Name -Confirm:$false -ErrorAction SilentlyContinue
        Remove-Item -LiteralPath $folder -Recurse -Force -ErrorAction SilentlyContinue
        return $answer
    }
    # The tool may be running from here: nothing goes before the result is there.
    $result = Join-Path $folder 'result.xml'
    while (-not (Test-Path -LiteralPath $result)) { Start-Sleep -Seconds 2 }
    $answer.Result = [System.IO.File]::ReadAllText($result)
    foreach ($removal in { Unregister-ScheduledTask -TaskName $Work.Name -Confirm:$false }, { Remove-Item -LiteralPath $folder -Recurse -Force }) {
        try { & $removal } catch { $answer.Cleanup += "left there: $($_.Exception.Message)" }
    }
    $answer
}

# ---------------------------------------------------------------------------
# The run.

# Hands out the work as one job and gives every name exactly one row: as its
# child job ends, or at the deadline.
function Invoke-Fleet {
    param([string[]]$ComputerName, [hashtable]$Work, [hashtable]$Connect, [int]$ThrottleLimit, [datetime]$Deadline,
        [bool]$AuditOnly, [string]$FindingsPath)
    $names = New-Object 'System.Collections.Generic.Dictionary[string,string]' ([System.StringComparer]::OrdinalIgnoreCase)
    foreach ($name in @($ComputerName | ForEach-Object { "$_".Trim() } | Where-Object { $_ })) {
        if (-not $names.ContainsKey($name)) { $names[$name] = $name }
    }
    $rowed = New-Object 'System.Collections.Generic.HashSet[string]' ([System.StringComparer]::OrdinalIgnoreCase)
    $nameOf = { param($Child) if ($names.ContainsKey("$($Child.Location)")) { $names["$($Child.Location)"] } else { "$($Child.Location)" } }
    # A name's row, once only.
    $emit = {
        param([string]$Name, $Read)
        if ($rowed.Add($Name)) {
            if ($FindingsPath -and $null -ne $Read['Findings']) {
                # One CSV line per finding, the computer's name first; a file that cannot be written never ends the run.
                $first = @{ Name = 'ComputerName'; Expression = { $Name } }
                try { @($Read['Findings']) | Select-Object -Property $first, '*' -ExcludeProperty $Drop | Export-Csv -LiteralPath $FindingsPath -Append -NoTypeInformation -Force }
                catch { Write-Warning "the findings of $Name were not written to $($FindingsPath): $($_.Exception.Message)" }
            }
            $Read.Row
        }
    }
    if ($names.Count -gt 0) {
        $job = Invoke-Command @Connect -ComputerName @($names.Keys) -ScriptBlock ${function:Invoke-TargetWork} -ArgumentList $Work `
            -ThrottleLimit $ThrottleLimit -AsJob
        try {
            $pending = New-Object System.Collections.Generic.List[object]
            $pending.AddRange([object[]]@($job.ChildJobs))
            while ($pending.Count -gt 0) {
                # A foreach statement: one look at each child a second stays cheap at 10,000.
                $ended = foreach ($child in $pending) { if ('Completed', 'Failed', 'Stopped' -contains "$($child.State)") { $child } }
                foreach ($child in @($ended)) {
                    [void]$pending.Remove($child)
                    $name, $errors = (& $nameOf $child), @()
                    $output = @(Receive-Job -Job $child -ErrorAction SilentlyContinue -ErrorVariable errors)
                    try { $read = ConvertTo-Row $name $Work.Name $AuditOnly $output $errors $child.JobStateInfo.Reason }
                    catch { $read = @{ Row = New-Row $name 'failed' "its answer could not be read: $($_.Exception.Message)" } }
                    & $emit $name $read
                }
                if ($pending.Count -and (Get-Date) -ge $Deadline) {
                    foreach ($child in $pending) {
                        $why = if ("$($child.State)" -eq 'NotStarted') { 'no answer: not reached before the deadline; nothing was started there' }
                        else { "result not known: still working at the deadline. If the tool started, it runs to its end; task '$($Work.Name)' and folder %ProgramFiles%\$($Work.Name) are left there: read result.xml in that folder, then remove both" }
                        & $emit (& $nameOf $child) @{ Row = New-Row (& $nameOf $child) 'no answer' $why }
                    }
                    Stop-Job -Job $job
                    break
                }
                if ($pending.Count) { Start-Sleep -Seconds 1 }
            }
        } finally {
            Remove-Job -Job $job -Force
        }
    }
    foreach ($name in $names.Values) {
        & $emit $name @{ Row = New-Row $name 'no answer' 'no answer: remoting started no work for this name' }
    }
}

# Each outcome, in a fixed order, with its count and computers.
function Get-Summary {
    param($Rows, [bool]$AuditOnly)
    $order = if ($AuditOnly) { 'in place', 'needs the tool', 'not applicable', 'failed', 'no answer' }
    else { 'repaired', 'not applicable', 'refused', 'run again', 'failed', 'no answer' }
    foreach ($outcome in $order) {
        $these = @($Rows | Where-Object { $_.Outcome -eq $outcome } | ForEach-Object { $_.ComputerName })
        [pscustomobject][ordered]@{ Outcome = $outcome; Count = $these.Count; ComputerName = $these -join ', ' }
    }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') { return }
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    $global:ErrorView = 'CategoryView'   # one line on standard error in 5.1 and 7 alike
    Write-Error -Category SecurityError -CategoryActivity 'Invoke-DownloadsPermissions.ps1' -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
if (-not $Path) { $Path = Join-Path $PSScriptRoot 'DownloadsPermissions.signed.exe' }
$Path = (Resolve-Path -LiteralPath $Path).ProviderPath
$tool = Split-Path -Leaf $Path
$Sha256 = if ($Sha256) { Get-PublishedHash $Sha256 '-Sha256' }
elseif (Test-Path -LiteralPath "$Path.sha256" -PathType Leaf) { Get-PublishedHash ([System.IO.File]::ReadAllText("$Path.sha256")) "$Path.sha256" $tool }
else { throw "no published checksum: pass -Sha256, or put $Path.sha256 beside the executable" }
if ((Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash -ne $Sha256) {
    throw "$Path is not the published $Sha256; nothing was run. Check that the file and its checksum come from the same release."
}
# Files travel as their bytes, so that a signed copy keeps its signature.
$files = @{ $tool = [System.IO.File]::ReadAllBytes($Path) }
$scripts = @{}
foreach ($role in 'Requirement=Test-DownloadsPermissionsApplies', 'Detection=Test-DownloadsPermissions', 'Audit=Get-DownloadsExposure') {
    $file = Select-ScriptCopy $PSScriptRoot ($role -split '=')[1]
    $scripts[($role -split '=')[0]] = Split-Path -Leaf $file
    $files[(Split-Path -Leaf $file)] = [System.IO.File]::ReadAllBytes($file)
}
$files['runner.txt'] = [System.Text.Encoding]::UTF8.GetBytes("$(${function:Invoke-Runner})")
$connect = @{ SessionOption = New-PSSessionOption -OpenTimeout 30000 }
if ($Credential) { $connect.Credential = $Credential }
if ($FindingsPath -and (Test-Path -LiteralPath $FindingsPath)) { Remove-Item -LiteralPath $FindingsPath }
$run = @{ ComputerName = $ComputerName; Connect = $connect; ThrottleLimit = $ThrottleLimit; Deadline = (Get-Date).AddMinutes($DeadlineMinutes)
    Work = @{ Name = 'DownloadsPermissions-' + [guid]::NewGuid().ToString('N'); Files = $files; Tool = $tool; Sha256 = $Sha256
        Scripts = $scripts; AuditOnly = [bool]$AuditOnly
    }
    AuditOnly = [bool]$AuditOnly; FindingsPath = $FindingsPath
}
if ($Summary) { Get-Summary @(Invoke-Fleet @run) ([bool]$AuditOnly) } else { Invoke-Fleet @run }
