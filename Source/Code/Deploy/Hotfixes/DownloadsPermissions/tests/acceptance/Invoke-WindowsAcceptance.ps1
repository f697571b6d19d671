<#
.SYNOPSIS
    Acceptance on real Windows: runs DownloadsPermissions.exe as SYSTEM (and
    once as a standard user) on one prepared machine state after another, runs
    the detection, exposure and requirement scripts, compares everything with
    what the README promises, and writes a report.

.DESCRIPTION
    For a disposable machine only: Windows Sandbox, a hosted CI runner, a
    virtual machine about to be thrown away. It creates and deletes the
    agent's registry key and folders, a victim folder, links, a local standard
    user and scheduled tasks, and changes access lists. It refuses to run
    unless -ChangeThisMachine is given, on Windows, elevated.

    Each case builds a machine state, records the SDDL of Downloads, of chosen
    children and of any folder a link leads to, runs the tool through a
    one-time scheduled task (as SYSTEM unless the case says otherwise), reads
    its exit status and standard error, records the SDDL again, runs the
    detection script and the requirement script as SYSTEM and the exposure
    audit, and compares what it saw with what was promised. It removes what it
    made, but the machine is meant to be thrown away.

    The report, in -Results: acceptance.md (each case, pass or fail, the
    statuses and the SDDL, and a section that answers each open question) and
    acceptance.json (everything observed). The exit status is the number of
    cases that failed.

.PARAMETER ChangeThisMachine
    Says that this machine may be changed, and thrown away afterwards.

.PARAMETER Kit
    The folder that holds DownloadsPermissions.exe and the deployment
    scripts: by default the folder above this script's, as dist/ lays it out.

.PARAMETER Results
    Where the report goes: by default acceptance-results in the kit.

.PARAMETER Case
    Runs only the cases with these names.

.NOTES
    Written for Windows PowerShell 5.1, elevated.
#>
[CmdletBinding()]
param(
    [switch]$ChangeThisMachine,
    [string]$Kit,
    [string]$Results,
    [string[]]$Case
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$AgentKeyPath = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$UserName = 'dpaccept'
$SharingViolation = 32

# ---------------------------------------------------------------------------
# Decisions, over plain data: tested on any machine.

# Whether this run may go on; why not, otherwise.
function Test-MayRun {
    param([bool]$ChangeThisMachine, [bool]$OnWindows, [bool]$Elevated)
    if (-not $ChangeThisMachine) {
        return 'refused: this changes the machine (registry, folders, links, a local user, access lists); give -ChangeThisMachine on a disposable machine'
    }
    if (-not $OnWindows) {
        return 'refused: this is acceptance on real Windows; run it there'
    }
    if (-not $Elevated) {
        return 'refused: run it from an elevated Windows PowerShell'
    }
    $null
}

# The entries of an SDDL string's DACL, each as its own text, and whether it
# is inherited (the ID flag).
function Split-Dacl {
    param([string]$Sddl)
    $dacl = if ($Sddl -match 'D:[A-Z]*((\([^)]*\))*)') { $Matches[1] } else { '' }
    @([regex]::Matches($dacl, '\(([^)]*)\)') | ForEach-Object {
            $fields = $_.Groups[1].Value -split ';'
            [pscustomobject]@{ Text = $_.Value; Inherited = $fields[1] -match 'ID' }
        })
}

function Get-ExplicitDacl {
    param([string]$Sddl)
    @(Split-Dacl $Sddl | Where-Object { -not $_.Inherited } | ForEach-Object { $_.Text }) -join ''
}

function Get-InheritedDacl {
    param([string]$Sddl)
    @(Split-Dacl $Sddl | Where-Object { $_.Inherited } | ForEach-Object { $_.Text }) -join ''
}

# What a case saw that it was not promised, one line each; none when it passed.
function Compare-Observation {
    param($Expect, $Seen)
    if ($Seen.Error) {
        return "the case could not be run: $($Seen.Error)"
    }
    if ($Expect.ContainsKey('Status') -and $Seen.Status -ne $Expect.Status) {
        "exit status $($Seen.Status), promised $($Expect.Status)"
    }
    $lines = @($Seen.StdErr | Where-Object { "$_".Trim() })
    $wantedLines = if ($Seen.Status -eq 0) { 0 } else { 1 }
    if ($lines.Count -ne $wantedLines) {
        "$($lines.Count) lines on standard error, promised $wantedLines"
    }
    if ($Expect.ContainsKey('Line') -and $lines.Count -eq 1 -and $lines[0] -notlike $Expect.Line) {
        "standard error '$($lines[0])', promised '$($Expect.Line)'"
    }
    if ($Expect.ContainsKey('Repaired')) {
        $carries = (Get-ExplicitDacl $Seen.Downloads.After) -eq (Get-ExplicitDacl $Seen.ProgramFiles)
        if ($Expect.Repaired -and -not $carries) {
            "Downloads' explicit entries are not the program-files folder's: $($Seen.Downloads.After)"
        }
        if (-not $Expect.Repaired -and $Seen.Downloads.After -ne $Seen.Downloads.Before) {
            "Downloads' list changed though nothing was to be written: $($Seen.Downloads.Before) -> $($Seen.Downloads.After)"
        }
    }
    if ($Expect.ContainsKey('InPlace') -and $Seen.InPlace -ne $Expect.InPlace) {
        "detection says in place: $($Seen.InPlace), promised $($Expect.InPlace)"
    }
    if ($Expect.ContainsKey('Applies') -and "$($Seen.Applies)" -ne "$($Expect.Applies)") {
        "the requirement says '$($Seen.Applies)', promised '$($Expect.Applies)'"
    }
    foreach ($kind in @(if ($Expect.ContainsKey('Exposure')) { $Expect.Exposure })) {
        if (-not ($Seen.Exposure | Where-Object { $_ -like "$kind*" })) {
            "the exposure audit did not report '$kind'"
        }
    }
    if ($Expect.ContainsKey('ChildrenReached')) {
        foreach ($child in @($Seen.Children.Keys)) {
            $pair = $Seen.Children[$child]
            if ((Get-InheritedDacl $pair.After) -eq (Get-InheritedDacl $pair.Before)) {
                "the walk did not reach $child`: its inherited entries are unchanged"
            }
        }
    }
    foreach ($path in @($Seen.Untouched.Keys)) {
        $pair = $Seen.Untouched[$path]
        if ($pair.Before -ne $pair.After) {
            "$path changed: $($pair.Before) -> $($pair.After)"
        }
    }
}

# The answer a question gets from the cases that settle it.
function Get-Answer {
    param([string]$Question, $Runs)
    $settling = @($Runs | Where-Object { $_.Answers -contains $Question })
    if ($settling.Count -eq 0) {
        return 'not settled: no case that answers it was run'
    }
    @($settling | ForEach-Object {
            $verdict = if ($_.Failures.Count -eq 0) { 'as promised' } else { "NOT as promised: $($_.Failures -join '; ')" }
            "$($_.Name): $verdict$(if ($_.Seen.Note) { " ($($_.Seen.Note))" })"
        }) -join '; '
}

# The Markdown report.
function Format-AcceptanceReport {
    param($Runs, [string[]]$Questions, [string]$Machine)
    $failed = @($Runs | Where-Object { $_.Failures.Count -gt 0 }).Count
    '# Acceptance on real Windows'
    ''
    "Machine: $Machine. Cases: $(@($Runs).Count), failed: $failed."
    ''
    '| case | result | exit status | standard error |'
    '| --- | --- | --- | --- |'
    foreach ($run in $Runs) {
        $result = if ($run.Failures.Count -eq 0) { 'pass' } else { 'FAIL' }
        $err = (@($run.Seen.StdErr) -join ' ').Replace('|', '\|')
        "| $($run.Name) | $result | $($run.Seen.Status) | $err |"
    }
    ''
    '## Answers'
    ''
    foreach ($question in $Questions) {
        "- **$question** $(Get-Answer $question $Runs)"
    }
    ''
    '## Cases'
    foreach ($run in $Runs) {
        ''
        "### $($run.Name)"
        ''
        foreach ($failure in $run.Failures) {
            "- FAIL: $failure"
        }
        "- Downloads before: ``$($run.Seen.Downloads.Before)``"
        "- Downloads after: ``$($run.Seen.Downloads.After)``"
        foreach ($path in @($run.Seen.Children.Keys)) {
            "- $path before: ``$($run.Seen.Children[$path].Before)``, after: ``$($run.Seen.Children[$path].After)``"
        }
        "- detection: $($run.Seen.InPlace); requirement: $($run.Seen.Applies); exposure: $(@($run.Seen.Exposure) -join '; ')"
    }
}

# ---------------------------------------------------------------------------
# Windows: the machine states and the runs. Only real Windows runs these.

function Get-Sddl {
    param([string]$Path)
    if (-not (Test-Path -LiteralPath $Path)) {
        return '(missing)'
    }
    (Get-Acl -LiteralPath $Path).Sddl
}

function Set-Sddl {
    param([string]$Path, [string]$Sddl)
    $acl = Get-Acl -LiteralPath $Path
    $acl.SetSecurityDescriptorSddlForm($Sddl)
    Set-Acl -LiteralPath $Path -AclObject $acl
}

function Get-Layout {
    $appData = [Environment]::GetFolderPath('CommonApplicationData')
    $vendor = Join-Path $appData 'Morvane Security'
    $agent = Join-Path $vendor 'Morvane Devices Agent'
    [pscustomobject]@{
        AppData      = $appData
        Vendor       = $vendor
        Agent        = $agent
        Downloads    = Join-Path $agent 'Downloads'
        ProgramFiles = [Environment]::GetFolderPath('ProgramFilesX86')
        Victim       = Join-Path $env:SystemDrive 'DownloadsPermissionsVictim'
        Moved        = Join-Path $appData 'Morvane Security.moved'
    }
}

# Removes links first (cmd's rmdir removes a link, never what it leads to),
# then the folders, the key and the user.
function Reset-Machine {
    param($Layout)
    foreach ($root in $Layout.Vendor, $Layout.Moved, $Layout.Victim) {
        if (Test-Path -LiteralPath $root) {
            & icacls.exe $root /reset /t /c /l /q | Out-Null
            & icacls.exe $root /setowner '*S-1-5-32-544' /t /c /l /q | Out-Null
            Get-ChildItem -LiteralPath $root -Recurse -Force -Attributes ReparsePoint -ErrorAction SilentlyContinue |
                ForEach-Object { & cmd.exe /c rmdir "$($_.FullName)" 2>$null; Remove-Item -LiteralPath $_.FullName -Force -ErrorAction SilentlyContinue }
            if ((Get-Item -LiteralPath $root -Force).Attributes -band [IO.FileAttributes]::ReparsePoint) {
                & cmd.exe /c rmdir "$root"
            } else {
                Remove-Item -LiteralPath $root -Recurse -Force
            }
        }
    }
    & reg.exe delete "HKLM\SOFTWARE\Morvane Security" /f /reg:32 2>$null | Out-Null
}

function New-AgentKey {
    param([string]$Path, [switch]$SystemMayOnlyRead)
    & reg.exe add "HKLM\$AgentKeyPath" /v Path /t REG_SZ /d $Path /f /reg:32 | Out-Null
    if ($SystemMayOnlyRead) {
        $key = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', 'Registry32').OpenSubKey($AgentKeyPath, $true)
        $acl = $key.GetAccessControl()
        $acl.SetAccessRuleProtection($true, $false)
        foreach ($rule in @($acl.Access)) { [void]$acl.RemoveAccessRule($rule) }
        $acl.AddAccessRule((New-Object System.Security.AccessControl.RegistryAccessRule('S-1-5-18', 'ReadKey', 'Allow')))
        $acl.AddAccessRule((New-Object System.Security.AccessControl.RegistryAccessRule('S-1-5-32-544', 'ReadKey', 'Allow')))
        $key.SetAccessControl($acl)
        $key.Dispose()
    }
}

function New-AgentFolders {
    param($Layout, [switch]$BlockInheritance)
    New-Item -ItemType Directory -Force -Path $Layout.Downloads | Out-Null
    if ($BlockInheritance) {
        & icacls.exe $Layout.Agent /inheritance:d /c /l /q | Out-Null
    }
}

function New-Link {
    param([string]$Kind, [string]$Path, [string]$Target)
    $switch = @{ Junction = '/J'; Symbolic = '/D'; Hard = '/H' }[$Kind]
    & cmd.exe /c mklink $switch "$Path" "$Target" | Out-Null
    if ($LASTEXITCODE -ne 0) {
        throw "mklink $switch $Path $Target failed"
    }
}

function Initialize-Holder {
    if (-not ('AcceptanceHolder' -as [type])) {
        Add-Type -TypeDefinition @'
using System;
using System.Runtime.InteropServices;
public static class AcceptanceHolder {
    [DllImport("kernel32.dll", SetLastError = true, CharSet = CharSet.Unicode)]
    public static extern IntPtr CreateFileW(string path, uint access, uint share, IntPtr security, uint disposition, uint flags, IntPtr template);
    [DllImport("kernel32.dll", SetLastError = true)]
    public static extern bool CloseHandle(IntPtr handle);
    // Opens a folder itself with the given rights and sharing; the handle, or -1.
    public static IntPtr Hold(string path, uint access, uint share) {
        return CreateFileW(path, access, share, IntPtr.Zero, 3, 0x02200000, IntPtr.Zero);
    }
}
'@
    }
}

# Runs a program once through a one-time task, as SYSTEM or as the given
# user, with its output captured through cmd.exe; its exit status and lines.
# While it runs, During is called again and again (the rename race).
function Invoke-OnceAs {
    param([string]$Program, [string]$Arguments = '', [string]$Work, [pscredential]$User, [scriptblock]$During)
    $name = 'DPAccept-' + [guid]::NewGuid().ToString('N')
    $out = Join-Path $Work "$name.out"
    $err = Join-Path $Work "$name.err"
    $action = New-ScheduledTaskAction -Execute "$env:SystemRoot\System32\cmd.exe" `
        -Argument "/d /s /c `"`"$Program`" $Arguments > `"$out`" 2> `"$err`"`""
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries
    if ($User) {
        $secret = $User.GetNetworkCredential().Password
        Register-ScheduledTask -TaskName $name -Action $action -Settings $settings -User $User.UserName `
            -Password $secret -RunLevel Limited | Out-Null
    } else {
        $principal = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
        Register-ScheduledTask -TaskName $name -Action $action -Principal $principal -Settings $settings | Out-Null
    }
    try {
        Start-ScheduledTask -TaskName $name
        $during = @()
        do {
            if ($During) { $during += & $During } else { Start-Sleep -Milliseconds 100 }
            $info = Get-ScheduledTaskInfo -TaskName $name
            $state = (Get-ScheduledTask -TaskName $name).State
        } while ("$state" -eq 'Running' -or "$state" -eq 'Queued' -or $info.LastTaskResult -eq 0x41303 -or $info.LastTaskResult -eq 0x41301)
        [pscustomobject]@{
            Status = [long]$info.LastTaskResult
            StdOut = @(if (Test-Path $out) { Get-Content -LiteralPath $out })
            StdErr = @(if (Test-Path $err) { Get-Content -LiteralPath $err })
            During = $during
        }
    } finally {
        Unregister-ScheduledTask -TaskName $name -Confirm:$false
    }
}

# One rename attempt of Downloads, put back at once if it went through: what
# happened.
function Test-RenameDownloads {
    param($Layout)
    try {
        Rename-Item -LiteralPath $Layout.Downloads -NewName 'Downloads.renamed'
        Rename-Item -LiteralPath "$($Layout.Agent)\Downloads.renamed" -NewName 'Downloads'
        'renamed'
    } catch {
        if ((($_.Exception.HResult -band 0xFFFF) -eq $SharingViolation) -or "$_" -match 'being used by another process') {
            'sharing violation'
        } else {
            "failed: $($_.Exception.Message)"
        }
    }
}

# ---------------------------------------------------------------------------
# The cases. Each builds its state on a reset machine; Expect holds what the
# README promises; Answers names the questions it settles.

$Questions = @(
    'The exact list Downloads carries after the copy.'
    'Whether the second write''s walk reaches every child, including after the empty first write.'
    'How CREATOR OWNER is mapped onto user-owned children.'
    'What happens to a Downloads that inherits from ProgramData.'
    'Whether the walk follows a junction or symbolic link inside Downloads, with and without Redirection Guard.'
    'The error a guarded junction above Downloads gives (448).'
    'What backup semantics grant when Downloads'' list shuts everyone out.'
    'That a rename of Downloads fails while the tool holds it.'
    'Whether each deployment script gives the right answer on Windows PowerShell 5.1.'
)
$InProgramData = 'What happens to a Downloads that inherits from ProgramData.'

$Cases = @(
    @{ Name = 'stock-layout-inheriting-from-programdata'; Expect = @{ Status = 0; Repaired = $true; InPlace = $true; Applies = 'True'; Exposure = 'inherited from a folder above' }
        Answers = @($Questions[0], $InProgramData, $Questions[8]); Setup = { param($L) New-AgentFolders $L } }
    @{ Name = 'agent-folder-blocks-inheritance'; Expect = @{ Status = 0; Repaired = $true; InPlace = $true; Applies = 'True' }
        Answers = @($Questions[0], $Questions[8]); Setup = { param($L) New-AgentFolders $L -BlockInheritance } }
    @{ Name = 'children-of-every-kind'; Expect = @{ Status = 0; Repaired = $true; InPlace = $true; ChildrenReached = $true; Exposure = 'owns this item inside Downloads', 'an explicit entry inside Downloads' }
        Answers = @($Questions[1], $Questions[2]); Children = 'inheriting', 'explicit', 'user-owned', 'held.txt'
        Setup = {
            param($L, $U)
            New-AgentFolders $L
            foreach ($child in 'inheriting', 'explicit', 'user-owned') { New-Item -ItemType Directory -Path (Join-Path $L.Downloads $child) | Out-Null }
            & icacls.exe (Join-Path $L.Downloads 'explicit') /grant '*S-1-5-32-545:(OI)(CI)M' /c /q | Out-Null
            & icacls.exe (Join-Path $L.Downloads 'user-owned') /setowner $U.UserName /c /q | Out-Null
            Set-Content -LiteralPath (Join-Path $L.Downloads 'held.txt') -Value 'held'
        }
        Hold = @{ Child = 'held.txt'; Access = 0x80000000; Share = 0 } }
    @{ Name = 'junction-at-downloads'; Expect = @{ Status = 681; Line = '*was not repaired: the way to it is a link. Error 681'; InPlace = $false }
        Answers = @(); Victim = $true
        Setup = { param($L) New-Item -ItemType Directory -Force -Path $L.Agent, $L.Victim | Out-Null; New-Link Junction $L.Downloads $L.Victim } }
    # A junction a standard user made, as Redirection Guard judges it; the
    # tool's line is the same whether the guard refused it (448) or the real
    # paths differ.
    @{ Name = 'junction-above-downloads-made-by-a-user'; Expect = @{ Status = 681; Line = '*was not repaired: the way to it is a link. Error 681'; InPlace = $false }
        Answers = @($Questions[5]); Victim = $true
        Setup = {
            param($L, $U, $W)
            New-Item -ItemType Directory -Force -Path (Join-Path $L.Victim 'Morvane Devices Agent\Downloads') | Out-Null
            Invoke-OnceAs -Program "$env:SystemRoot\System32\cmd.exe" -Arguments "/c mklink /J `"$($L.Vendor)`" `"$($L.Victim)`"" -Work $W -User $U | Out-Null
            if (-not (Test-Path -LiteralPath $L.Vendor)) { throw 'the standard user could not make the junction' }
        } }
    # A junction a standard user made inside Downloads (Redirection Guard's
    # concern) and a symbolic link an administrator made (not its concern),
    # both leading to the victim, which must stay as it was.
    @{ Name = 'links-inside-downloads-to-a-victim'; Expect = @{ Status = 0; Repaired = $true; Exposure = 'a junction, symbolic link or mount point inside Downloads' }
        Answers = @($Questions[4]); Victim = $true
        Setup = {
            param($L, $U, $W)
            New-AgentFolders $L
            New-Item -ItemType Directory -Force -Path $L.Victim | Out-Null
            Invoke-OnceAs -Program "$env:SystemRoot\System32\cmd.exe" -Arguments "/c mklink /J `"$(Join-Path $L.Downloads 'junction')`" `"$($L.Victim)`"" -Work $W -User $U | Out-Null
            New-Link Symbolic (Join-Path $L.Downloads 'symlink') $L.Victim
        } }
    @{ Name = 'hard-link-inside-downloads'; Expect = @{ Status = 0; Repaired = $true; Exposure = 'a file with more than one name' }
        Answers = @(); Victim = $true
        Setup = {
            param($L)
            New-AgentFolders $L
            New-Item -ItemType Directory -Force -Path $L.Victim | Out-Null
            Set-Content -LiteralPath (Join-Path $L.Victim 'secret.txt') -Value 'secret'
            New-Link Hard (Join-Path $L.Downloads 'secret.txt') (Join-Path $L.Victim 'secret.txt')
        } }
    @{ Name = 'held-with-delete-access'; Expect = @{ Status = 32; Line = '*it is held open by another program. Error 32'; Repaired = $false }
        Answers = @(); Setup = { param($L) New-AgentFolders $L }; Hold = @{ Access = 0x10000; Share = 7 } }
    @{ Name = 'rename-while-the-tool-holds-downloads'; Expect = @{ Status = 0; Repaired = $true }
        Answers = @($Questions[7]); Setup = { param($L) New-AgentFolders $L }; Race = $true }
    @{ Name = 'list-shuts-system-out'; Expect = @{ Status = 0; Repaired = $true; InPlace = $true }
        Answers = @($Questions[6])
        Setup = { param($L) New-AgentFolders $L; Set-Sddl $L.Downloads 'O:BAD:P(D;OICI;FA;;;SY)(A;OICI;FA;;;BA)' } }
    @{ Name = 'half-done-empty-protected-list'; Expect = @{ Status = 0; Repaired = $true; InPlace = $true }
        Answers = @($Questions[1], $Questions[6]); Setup = { param($L) New-AgentFolders $L; Set-Sddl $L.Downloads 'O:BAD:P' } }
    @{ Name = 'agent-key-system-may-only-read'; Expect = @{ Status = 0; Repaired = $false; Applies = 'False'; Exposure = 'the tool opens this key for full access' }
        Answers = @($Questions[8]); KeyReadOnly = $true; Setup = { param($L) New-AgentFolders $L } }
    # The key does not open for full access: one line on standard output, status 0.
    @{ Name = 'run-as-a-standard-user'; Expect = @{ Status = 0; Repaired = $false }
        Answers = @(); AsUser = $true; Setup = { param($L) New-AgentFolders $L } }
)

# Runs one case: its state, the tool, the scripts; what it saw.
function Invoke-Case {
    param($Definition, $Layout, [string]$Kit, [string]$Work, [pscredential]$User)
    $seen = @{ Status = $null; StdErr = @(); Downloads = @{}; Children = @{}; Untouched = @{}; InPlace = $null
        Applies = $null; Exposure = @(); ProgramFiles = (Get-Sddl $Layout.ProgramFiles); Note = $null; Error = $null }
    $held = [IntPtr]::Zero
    try {
        Reset-Machine $Layout
        New-AgentKey -Path $Layout.ProgramFiles -SystemMayOnlyRead:([bool]$Definition['KeyReadOnly'])
        & $Definition.Setup $Layout $User $Work
        $seen.Downloads.Before = Get-Sddl $Layout.Downloads
        $children = @($Definition['Children'] | Where-Object { $_ })
        foreach ($child in $children) { $seen.Children[$child] = @{ Before = Get-Sddl (Join-Path $Layout.Downloads $child) } }
        if ($Definition['Victim']) { $seen.Untouched[$Layout.Victim] = @{ Before = Get-Sddl $Layout.Victim } }
        if ($Definition['Hold']) {
            Initialize-Holder
            $target = if ($Definition.Hold['Child']) { Join-Path $Layout.Downloads $Definition.Hold.Child } else { $Layout.Downloads }
            $held = [AcceptanceHolder]::Hold($target, $Definition.Hold.Access, $Definition.Hold.Share)
        }
        $exe = Join-Path $Kit 'DownloadsPermissions.exe'
        $during = if ($Definition['Race']) { { Test-RenameDownloads $Layout } } else { $null }
        $credential = if ($Definition['AsUser']) { $User } else { $null }
        $run = Invoke-OnceAs -Program $exe -Work $Work -User $credential -During $during
        $seen.Status = $run.Status
        $seen.StdErr = $run.StdErr
        if ($Definition['Race']) {
            $tally = $run.During | Group-Object | ForEach-Object { "$($_.Count) x $($_.Name)" }
            $seen.Note = "rename attempts during the run: $($tally -join ', ')"
        }
        if ($held -ne [IntPtr]::Zero) { [void][AcceptanceHolder]::CloseHandle($held); $held = [IntPtr]::Zero }
        $seen.Downloads.After = Get-Sddl $Layout.Downloads
        foreach ($child in $children) { $seen.Children[$child].After = Get-Sddl (Join-Path $Layout.Downloads $child) }
        foreach ($path in @($seen.Untouched.Keys)) { $seen.Untouched[$path].After = Get-Sddl $path }
        if ($seen.Children.ContainsKey('user-owned')) {
            $sid = (New-Object Security.Principal.NTAccount $User.UserName).Translate([Security.Principal.SecurityIdentifier]).Value
            $mapped = @(Split-Dacl $seen.Children['user-owned'].After | Where-Object { $_.Inherited -and $_.Text -like "*;$sid)" })
            $seen.Note = "the user-owned child carries for its owner: $(@($mapped.Text) -join '')"
        }

        $ps = "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe"
        $detect = Invoke-OnceAs -Program $ps -Arguments "-NoProfile -ExecutionPolicy Bypass -File `"$(Join-Path $Kit 'Test-DownloadsPermissions.ps1')`"" -Work $Work
        $seen.InPlace = [bool]($detect.StdOut | Where-Object { "$_".Trim() })
        $applies = Invoke-OnceAs -Program $ps -Arguments "-NoProfile -ExecutionPolicy Bypass -File `"$(Join-Path $Kit 'Test-DownloadsPermissionsApplies.ps1')`"" -Work $Work
        $seen.Applies = (@($applies.StdOut) -join '').Trim()
        $seen.Exposure = @(& (Join-Path $Kit 'Get-DownloadsExposure.ps1') -Summary:$false | ForEach-Object { $_.Why })
    } catch {
        $seen.Error = "$($_.Exception.Message) (at $($_.InvocationInfo.PositionMessage))"
    } finally {
        if ($held -ne [IntPtr]::Zero) { [void][AcceptanceHolder]::CloseHandle($held) }
    }
    $seen
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
$onWindows = [Environment]::OSVersion.Platform -eq 'Win32NT'
$elevated = $onWindows -and (New-Object Security.Principal.WindowsPrincipal ([Security.Principal.WindowsIdentity]::GetCurrent())).IsInRole(
    [Security.Principal.WindowsBuiltInRole]::Administrator)
$refusal = Test-MayRun -ChangeThisMachine $ChangeThisMachine -OnWindows $onWindows -Elevated $elevated
if ($refusal) {
    Write-Error -Message $refusal -ErrorAction Continue
    exit 1
}
if (-not $Kit) { $Kit = Split-Path -Parent $PSScriptRoot }
if (-not $Results) { $Results = Join-Path $Kit 'acceptance-results' }
New-Item -ItemType Directory -Force -Path $Results | Out-Null
$work = Join-Path $env:ProgramData ('DPAccept-' + [guid]::NewGuid().ToString('N'))
New-Item -ItemType Directory -Path $work | Out-Null
& icacls.exe $work /grant '*S-1-5-32-545:(OI)(CI)M' /q | Out-Null   # the standard user's run writes its output here

$password = 'Pa1!' + [guid]::NewGuid().ToString('N')
& net.exe user $UserName $password /add /y | Out-Null
$user = New-Object pscredential ".\$UserName", (ConvertTo-SecureString $password -AsPlainText -Force)
$layout = Get-Layout
$runs = foreach ($definition in $Cases) {
    if ($Case -and $Case -notcontains $definition.Name) { continue }
    Write-Host "case $($definition.Name)"
    $seen = Invoke-Case -Definition $definition -Layout $layout -Kit $Kit -Work $work -User $user
    [pscustomobject]@{ Name = $definition.Name; Answers = $definition.Answers; Seen = $seen
        Failures = @(Compare-Observation -Expect $definition.Expect -Seen $seen) }
}
Reset-Machine $layout
& net.exe user $UserName /delete | Out-Null
Remove-Item -LiteralPath $work -Recurse -Force

$machine = "$((Get-CimInstance Win32_OperatingSystem).Caption) $([Environment]::OSVersion.Version), PowerShell $($PSVersionTable.PSVersion)"
Format-AcceptanceReport -Runs $runs -Questions $Questions -Machine $machine | Set-Content -Encoding UTF8 -LiteralPath (Join-Path $Results 'acceptance.md')
$runs | ConvertTo-Json -Depth 6 | Set-Content -Encoding UTF8 -LiteralPath (Join-Path $Results 'acceptance.json')
$failed = @($runs | Where-Object { $_.Failures.Count -gt 0 }).Count
Write-Host "acceptance: $(@($runs).Count - $failed) passed, $failed failed; report in $Results"
exit $failed
